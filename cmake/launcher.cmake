# Build settings of the launcher executable: the release public key it verifies every signed
# text against, and the update server it asks when "launcher.cfg" names none.
#
#   -DCORVANTHE_RELEASE_KEY=<64 hex digits>   the real release key (a release build sets it)
#   -DCORVANTHE_DEFAULT_SERVER=<base URL>     the built-in server, http on port 25980 by default
#
# Without CORVANTHE_RELEASE_KEY the build makes a development key pair once, inside the build
# tree (dev-key/release.key and its .pub), and embeds its public half, so the demo and the tests
# can sign releases with the secret half. The secret never leaves the build folder. A given key
# that is not 64 hex digits stops the configuration: built in, it would make a launcher that
# refuses every start. (The tests' corvanthe-launcher-nokey is the launcher without a key.)

set(CORVANTHE_DEFAULT_SERVER "http://127.0.0.1:25980/" CACHE STRING
    "The update server the launcher asks when launcher.cfg names none")

set(CORVANTHE_DEV_KEY_FILE ${CMAKE_BINARY_DIR}/dev-key/release.key)
if(DEFINED CORVANTHE_RELEASE_KEY)
  string(LENGTH "${CORVANTHE_RELEASE_KEY}" key_length)
  if(NOT key_length EQUAL 64 OR NOT CORVANTHE_RELEASE_KEY MATCHES "^[0-9A-Fa-f]+$")
    message(FATAL_ERROR "CORVANTHE_RELEASE_KEY must be the release public key as 64 hexadecimal "
                        "digits; it is \"${CORVANTHE_RELEASE_KEY}\" (${key_length} characters).")
  endif()
  set(corvanthe_launcher_key "${CORVANTHE_RELEASE_KEY}")
else()
  if(NOT EXISTS ${CORVANTHE_DEV_KEY_FILE}.pub)
    try_run(dev_key_run dev_key_compiled ${CMAKE_BINARY_DIR}/dev-key/build
      SOURCES ${CMAKE_SOURCE_DIR}/tools/dev_key.cpp ${CMAKE_SOURCE_DIR}/src/update/crypto_sodium.cpp
      CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${CMAKE_SOURCE_DIR}/src"
      LINK_LIBRARIES PkgConfig::SODIUM
      CXX_STANDARD 20
      COMPILE_OUTPUT_VARIABLE dev_key_compile_output
      RUN_OUTPUT_VARIABLE dev_key_run_output
      ARGS ${CORVANTHE_DEV_KEY_FILE})
    if(NOT dev_key_compiled OR NOT dev_key_run EQUAL 0 OR NOT EXISTS ${CORVANTHE_DEV_KEY_FILE}.pub)
      message(FATAL_ERROR "could not make the development release key:\n"
                          "${dev_key_compile_output}\n${dev_key_run_output}")
    endif()
  endif()
  file(READ ${CORVANTHE_DEV_KEY_FILE}.pub corvanthe_launcher_key)
  string(STRIP "${corvanthe_launcher_key}" corvanthe_launcher_key)
  message(STATUS "Launcher release key: development key ${CORVANTHE_DEV_KEY_FILE}.pub")
endif()

# What the launcher was built with, for the tests and the demo: they sign with the development
# key only when it is the one inside.
file(WRITE ${CMAKE_BINARY_DIR}/launcher-release-key.txt "${corvanthe_launcher_key}\n")

function(corvanthe_launcher_settings target key)
  target_compile_definitions(${target} PRIVATE
    CORVANTHE_RELEASE_KEY="${key}"
    CORVANTHE_DEFAULT_SERVER="${CORVANTHE_DEFAULT_SERVER}")
endfunction()

if(TARGET corvanthe-launcher)
  corvanthe_launcher_settings(corvanthe-launcher "${corvanthe_launcher_key}")

  if(CORVANTHE_TESTS)
    # A launcher built without a key, for the test of the start-up that refuses it.
    add_executable(corvanthe-launcher-nokey src/app/app_main.cpp)
    target_link_libraries(corvanthe-launcher-nokey PRIVATE qv_app)
    corvanthe_launcher_settings(corvanthe-launcher-nokey "")

    # Configuring with a malformed release key fails and names the variable.
    add_test(NAME ReleaseKeyConfigure.MalformedKeysStopTheConfiguration
             COMMAND ${CMAKE_COMMAND} -DSOURCE=${CMAKE_SOURCE_DIR}
                     -DWORK=${CMAKE_BINARY_DIR}/release-key-configure -DGENERATOR=${CMAKE_GENERATOR}
                     -P ${CMAKE_SOURCE_DIR}/tests/app/release_key_configure.cmake)
    set_tests_properties(ReleaseKeyConfigure.MalformedKeysStopTheConfiguration
                         PROPERTIES LABELS app TIMEOUT 300)

    # The X side of the GUI tests: clipboard owner, polite window close, window screenshots.
    find_package(X11 QUIET)
    if(X11_FOUND AND EXISTS ${CMAKE_SOURCE_DIR}/tests/app/posix/x_helper.cpp)
      add_executable(x_helper tests/app/posix/x_helper.cpp)
      target_include_directories(x_helper PRIVATE ${X11_INCLUDE_DIR})
      target_link_libraries(x_helper PRIVATE qv_base ${X11_LIBRARIES})
    endif()
  endif()
endif()

# The Windows build (cross-built with cmake/toolchain/windows-x86_64.cmake): the system
# libraries behind the seam and the static GLFW, the static libsodium's headers, and the
# launcher as a windowed program carrying its resources, and the stripped exe to ship.

# Winsock and the adapter list (sockets), the system random generator, the shell (folders,
# the command line, COM for the shell), message boxes, and what the static GLFW draws with.
target_link_libraries(qv_base PUBLIC ws2_32 iphlpapi bcrypt shell32 user32 gdi32 ole32)
# The system's upper-case table, by which file names compare when letter case is ignored.
target_link_libraries(qv_update PUBLIC ntdll)

# Without it sodium.h declares its functions as imported from a DLL.
target_compile_definitions(PkgConfig::SODIUM INTERFACE SODIUM_STATIC)

# The version the exe's properties show: three numbers, as in "1.4.2".
set(CORVANTHE_VERSION "1.0.0" CACHE STRING "The launcher's version, written into the Windows exe")
if(NOT CORVANTHE_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
  message(FATAL_ERROR "CORVANTHE_VERSION must be three numbers such as 1.4.2; it is "
                      "\"${CORVANTHE_VERSION}\".")
endif()
set(corvanthe_version_header ${CMAKE_BINARY_DIR}/resources/corvanthe_version.h)
file(CONFIGURE OUTPUT ${corvanthe_version_header} CONTENT
"// Made by the build from CORVANTHE_VERSION.
#define CORVANTHE_VERSION_MAJOR ${CMAKE_MATCH_1}
#define CORVANTHE_VERSION_MINOR ${CMAKE_MATCH_2}
#define CORVANTHE_VERSION_PATCH ${CMAKE_MATCH_3}
#define CORVANTHE_VERSION_TEXT \"${CORVANTHE_VERSION}\"
")

foreach(launcher corvanthe-launcher corvanthe-launcher-nokey)
  if(TARGET ${launcher})
    # A GUI-subsystem exe (mingw still enters through main) with its icon group, manifest and
    # version as resources.
    set_target_properties(${launcher} PROPERTIES WIN32_EXECUTABLE ON)
    target_sources(${launcher} PRIVATE ${CMAKE_SOURCE_DIR}/resources/corvanthe.rc)
    target_include_directories(${launcher} PRIVATE ${CMAKE_BINARY_DIR}/resources)
    set_property(SOURCE ${CMAKE_SOURCE_DIR}/resources/corvanthe.rc APPEND PROPERTY
                 OBJECT_DEPENDS ${corvanthe_version_header}
                 ${CMAKE_SOURCE_DIR}/resources/corvanthe.manifest
                 ${CMAKE_SOURCE_DIR}/resources/corvanthe.ico)
  endif()
endforeach()

# The exe to ship (a self-update downloads it whole): the launcher as built, optimized in the
# default RelWithDebInfo build, stripped of its debug information, which stays beside it in
# "corvanthe-launcher.exe.debug"; the exe names that file in its .gnu_debuglink section (with its
# checksum), so a debugger given the shipped exe finds it. Both go to "ship/".
if(TARGET corvanthe-launcher)
  find_program(CORVANTHE_OBJCOPY NAMES x86_64-w64-mingw32-objcopy REQUIRED)
  set(ship ${CMAKE_BINARY_DIR}/ship)
  add_custom_command(TARGET corvanthe-launcher POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${ship}
    COMMAND ${CORVANTHE_OBJCOPY} --only-keep-debug $<TARGET_FILE:corvanthe-launcher>
            ${ship}/corvanthe-launcher.exe.debug
    COMMAND ${CORVANTHE_OBJCOPY} --strip-all --add-gnu-debuglink=${ship}/corvanthe-launcher.exe.debug
            $<TARGET_FILE:corvanthe-launcher> ${ship}/corvanthe-launcher.exe
    VERBATIM)
endif()

if(CORVANTHE_TESTS AND TARGET corvanthe-launcher)
  # Read on the build machine from the exe itself, so it runs natively, not under the emulator.
  find_program(CORVANTHE_OBJDUMP NAMES x86_64-w64-mingw32-objdump REQUIRED)
  add_test(NAME LauncherExe.ImportsOnlySystemDlls
           COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CORVANTHE_OBJDUMP}
                   -DEXE=$<TARGET_FILE:corvanthe-launcher> -P ${CMAKE_CURRENT_LIST_DIR}/check_imports.cmake)
  set_tests_properties(LauncherExe.ImportsOnlySystemDlls PROPERTIES LABELS app)
  add_test(NAME LauncherExe.ShipExeIsStrippedAndNamesItsDebugFile
           COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CORVANTHE_OBJDUMP} -DOBJCOPY=${CORVANTHE_OBJCOPY}
                   -DEXE=${CMAKE_BINARY_DIR}/ship/corvanthe-launcher.exe
                   -DWORK=${CMAKE_BINARY_DIR}/ship-check -P ${CMAKE_CURRENT_LIST_DIR}/check_ship.cmake)
  set_tests_properties(LauncherExe.ShipExeIsStrippedAndNamesItsDebugFile PROPERTIES LABELS app)
endif()

# The updater driver, which the wine tests drive in the launcher's place, runs under the
# launcher's manifest; its target exists once the tools are made, after this file.
function(corvanthe_driver_manifest)
  if(TARGET updater_driver)
    target_sources(updater_driver PRIVATE ${CMAKE_SOURCE_DIR}/resources/updater_driver.rc)
    set_property(SOURCE ${CMAKE_SOURCE_DIR}/resources/updater_driver.rc APPEND PROPERTY
                 OBJECT_DEPENDS ${CMAKE_SOURCE_DIR}/resources/corvanthe.manifest)
  endif()
endfunction()
cmake_language(DEFER CALL corvanthe_driver_manifest)

# The test that reads the exe's resources back through the system (the version through
# version.dll) checks them against the build's version; its target exists once the test
# programs are made, after this file.
function(corvanthe_resources_test_settings)
  if(TARGET exe_resources_test)
    target_link_libraries(exe_resources_test PRIVATE version)
    target_compile_definitions(exe_resources_test PRIVATE CORVANTHE_VERSION="${CORVANTHE_VERSION}")
  endif()
endfunction()
cmake_language(DEFER CALL corvanthe_resources_test_settings)

# UDP broadcast reaches whatever network the machine is on, so its test runs only inside a
# private network namespace, with a wine prefix and server of its own (wine opens sockets in its
# server process). Started natively: the script runs the program under wine itself.
if(CORVANTHE_TESTS AND EXISTS ${CMAKE_SOURCE_DIR}/tests/base/win32/udp_broadcast_win32_test.cpp)
  foreach(layout loopback veth)
    add_test(NAME UdpBroadcastInPrivateNetwork.${layout}
             COMMAND bash ${CMAKE_SOURCE_DIR}/tests/base/win32/in_private_network.sh ${layout}
                     $<TARGET_FILE:udp_broadcast_win32_test>)
    set_tests_properties(UdpBroadcastInPrivateNetwork.${layout} PROPERTIES LABELS base TIMEOUT 300)
  endforeach()
endif()

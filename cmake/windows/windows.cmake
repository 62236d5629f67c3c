# The Windows build (cross-built with cmake/toolchain/windows-x86_64.cmake): the system
# libraries behind the seam and the static GLFW, the static libsodium's headers, and the
# launcher as a windowed program carrying its icon group.

# Winsock and the adapter list (sockets), the system random generator, the shell (folders,
# the command line), message boxes, and what the static GLFW draws with.
target_link_libraries(qv_base PUBLIC ws2_32 iphlpapi bcrypt shell32 user32 gdi32)
# The system's upper-case table, by which file names compare when letter case is ignored.
target_link_libraries(qv_update PUBLIC ntdll)

# Without it sodium.h declares its functions as imported from a DLL.
target_compile_definitions(PkgConfig::SODIUM INTERFACE SODIUM_STATIC)

foreach(launcher corvanthe-launcher corvanthe-launcher-nokey)
  if(TARGET ${launcher})
    # A GUI-subsystem exe (mingw still enters through main) with the icon group as resource 1.
    set_target_properties(${launcher} PROPERTIES WIN32_EXECUTABLE ON)
    target_sources(${launcher} PRIVATE ${CMAKE_SOURCE_DIR}/resources/corvanthe.rc)
  endif()
endforeach()

if(CORVANTHE_TESTS AND TARGET corvanthe-launcher)
  # Read on the build machine from the exe itself, so it runs natively, not under the emulator.
  find_program(CORVANTHE_OBJDUMP NAMES x86_64-w64-mingw32-objdump REQUIRED)
  add_test(NAME LauncherExe.ImportsOnlySystemDlls
           COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CORVANTHE_OBJDUMP}
                   -DEXE=$<TARGET_FILE:corvanthe-launcher> -P ${CMAKE_CURRENT_LIST_DIR}/check_imports.cmake)
  set_tests_properties(LauncherExe.ImportsOnlySystemDlls PROPERTIES LABELS app)
endif()

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

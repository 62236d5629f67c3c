# The Windows build (cross-built with cmake/toolchain/windows-x86_64.cmake): the system
# libraries behind the seam and the static GLFW, the static libsodium's headers, and the
# launcher as a windowed program carrying its icon group.

# Winsock and the adapter list (sockets), the system random generator, the shell (folders,
# the command line), message boxes, and what the static GLFW draws with.
target_link_libraries(qv_base PUBLIC ws2_32 iphlpapi bcrypt shell32 user32 gdi32)

# Without it sodium.h declares its functions as imported from a DLL.
target_compile_definitions(PkgConfig::SODIUM INTERFACE SODIUM_STATIC)

foreach(launcher corvanthe-launcher corvanthe-launcher-nokey)
  if(TARGET ${launcher})
    # A GUI-subsystem exe (mingw still enters through main) with the icon group as resource 1.
    set_target_properties(${launcher} PROPERTIES WIN32_EXECUTABLE ON)
    target_sources(${launcher} PRIVATE ${CMAKE_SOURCE_DIR}/resources/corvanthe.rc)
  endif()
endforeach()

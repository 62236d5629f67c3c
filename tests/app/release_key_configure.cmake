# Configures the project (without its tests, so it goes quickly) with release keys that are not
# 64 hex digits, each of which must stop the configuration with a message naming
# CORVANTHE_RELEASE_KEY, and with a well-formed key in both cases of letters, which must pass.
#   cmake -DSOURCE=<source dir> -DWORK=<scratch dir> -DGENERATOR=<generator> -P this file
set(digits "0123456789abcdefABCDEF0123456789abcdef0123456789ABCDEF0123456789")
string(SUBSTRING "${digits}" 0 63 short)
set(bad_keys "" "${short}" "${digits}0" "${short}g" "${short} " "not a key")

function(configure key out_result out_output)
  file(REMOVE_RECURSE "${WORK}")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -S "${SOURCE}" -B "${WORK}" -G "${GENERATOR}" -DCORVANTHE_TESTS=OFF
            "-DCORVANTHE_RELEASE_KEY=${key}"
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  set(${out_result} "${result}" PARENT_SCOPE)
  set(${out_output} "${output}" PARENT_SCOPE)
endfunction()

foreach(key IN LISTS bad_keys)
  configure("${key}" result output)
  if(result EQUAL 0)
    message(FATAL_ERROR "the key \"${key}\" was accepted:\n${output}")
  endif()
  if(NOT output MATCHES "CORVANTHE_RELEASE_KEY must be the release public key")
    message(FATAL_ERROR "the key \"${key}\" failed without naming the variable:\n${output}")
  endif()
endforeach()
# An empty key is a list element of its own only when written so; check it on its own as well.
configure("" result output)
if(result EQUAL 0)
  message(FATAL_ERROR "the empty key was accepted:\n${output}")
endif()

configure("${digits}" result output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "a well-formed key was refused:\n${output}")
endif()
file(REMOVE_RECURSE "${WORK}")

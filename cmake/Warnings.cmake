# Strict warnings for the project's own code; third-party code (GoogleTest)
# keeps its own flags.
function(gw_strict_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wshadow -Wconversion -Wpedantic
    -Wcast-qual -Wformat=2 -Wundef -Wnon-virtual-dtor -Wold-style-cast)
  if(GW_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# Tests are held to the same standard, less the conversions that make
# fixtures of raw bytes unreadable.
function(gw_test_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow)
  if(GW_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

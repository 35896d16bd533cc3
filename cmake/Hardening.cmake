# The hardening Debian builds its packages with (dpkg-buildflags with
# hardening=+all on amd64), for what the package ships: position-independent
# executables, a stack protector, checked buffer functions, and relocations
# made read-only once resolved, all at start-up. Native builds only: the
# sanitizer and fuzz builds bring their own checks (and _FORTIFY_SOURCE hides
# calls from ASan's interceptors), and the Windows build has no such runtime.
set(GW_HARDEN OFF)
if(NOT WIN32 AND NOT GW_SANITIZE AND NOT GW_FUZZ)
  set(GW_HARDEN ON)
  include(CheckPIESupported)
  check_pie_supported(LANGUAGES C CXX)
endif()

# For the targets whose code is in the package: the module, the program and
# the libraries they are made of.
function(gw_harden target)
  if(NOT GW_HARDEN)
    return()
  endif()
  target_compile_options(${target} PRIVATE -fstack-protector-strong)
  # _FORTIFY_SOURCE needs the optimiser (glibc warns without it).
  target_compile_definitions(${target} PRIVATE $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
  target_link_options(${target} PRIVATE -Wl,-z,relro -Wl,-z,now)
endfunction()

# Run by cpack after it has made the Debian package (CPACK_POST_BUILD_SCRIPTS).
# CPack adds maintainer scripts that run ldconfig whenever a shared object
# lies in a folder under /usr/lib, but the module in /usr/lib/glyphweave/ is a
# private library that the program opens by path: the dynamic linker's cache
# never lists it. The package is built again without those scripts, which
# are the only ones it has.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.deb$")
    continue()
  endif()
  set(tree "${CPACK_TOPLEVEL_DIRECTORY}/without-ldconfig")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb --raw-extract "${package}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  foreach(script postinst postrm)
    set(path "${tree}/DEBIAN/${script}")
    if(EXISTS "${path}")
      file(STRINGS "${path}" lines)
      list(FILTER lines EXCLUDE REGEX "^(#!/bin/sh|set -e|if \\[ \"\\$1\" = \"(configure|remove)\" \\]; then|[ \t]*ldconfig|fi|)$")
      if(lines)
        message(FATAL_ERROR "${script} does more than run ldconfig: ${lines}")
      endif()
      file(REMOVE "${path}")
    endif()
  endforeach()
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz --build "${tree}" "${package}"
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()

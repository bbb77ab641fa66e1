# Run by CPack after it has made the packages, which take their time stamps,
# owners and modes from the builder's clock, user and umask. Each package is
# packed again from the same files so that it is the same bytes whoever
# builds it, wherever and whenever: entries in name order, owned by root,
# dated SOURCE_DATE_EPOCH (the build's, unless CPack is given one),
# directories and programs 0755, other files 0644. The program loses the
# compilers' names (.comment), which nothing reads; each .deb gets the
# Multi-Arch field CPack does not write, and its md5sums anew. dpkg-deb
# packs the .deb, GNU tar and gzip the .tar.gz.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} ${CPACK_HEXSHOW_SOURCE_DATE_EPOCH})
endif()

function(run)
  execute_process(COMMAND ${ARGN} OUTPUT_QUIET RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${ARGN}: ${failed}")
  endif()
endfunction()

function(drop_comment program)
  if(EXISTS ${program})
    run(${CPACK_HEXSHOW_OBJCOPY} --remove-section=.comment ${program})
  endif()
endfunction()

foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(package MATCHES "\\.deb$")
    set(tree ${CPACK_TOPLEVEL_DIRECTORY}/repack)
    file(REMOVE_RECURSE ${tree})
    run(dpkg-deb --raw-extract ${package} ${tree})
    drop_comment(${tree}/usr/bin/hexshow)
    file(READ ${tree}/DEBIAN/control control)
    string(STRIP "${control}" control)
    string(REGEX MATCH "Package: [^\n]*" name "${control}")
    string(REPLACE "Package: " "" name "${name}")
    foreach(entry IN LISTS CPACK_HEXSHOW_MULTI_ARCH)
      if(entry MATCHES "^${name}:(.*)")
        string(APPEND control "\nMulti-Arch: ${CMAKE_MATCH_1}")
      endif()
    endforeach()
    file(WRITE ${tree}/DEBIAN/control "${control}\n")
    execute_process(COMMAND find usr -type f -exec md5sum {} +
      COMMAND env LC_ALL=C sort -k 2
      WORKING_DIRECTORY ${tree} OUTPUT_FILE ${tree}/DEBIAN/md5sums RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "md5sums of ${package}: ${failed}")
    endif()
    run(chmod -R u=rwX,go=rX ${tree})
    run(find ${tree} -exec touch --no-dereference --date=@$ENV{SOURCE_DATE_EPOCH} {} +)
    run(dpkg-deb --root-owner-group -Zgzip --build ${tree} ${package})
  elseif(package MATCHES "\\.tar\\.gz$")
    set(top ${CPACK_TOPLEVEL_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME})
    drop_comment(${top}/bin/hexshow)
    execute_process(
      COMMAND tar --create --sort=name --format=gnu --owner=0 --group=0 --numeric-owner
        --mtime=@$ENV{SOURCE_DATE_EPOCH} --mode=u=rwX,go=rX
        --directory=${CPACK_TOPLEVEL_DIRECTORY} ${CPACK_PACKAGE_FILE_NAME}
      COMMAND gzip -9n
      OUTPUT_FILE ${package}
      RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "tar or gzip of ${package}: ${failed}")
    endif()
  endif()
endforeach()

# Run by CPack after it has made the packages, which take their time stamps,
# owners and modes from the builder's clock, user and umask. Each package is
# packed again from the same files so that it is the same bytes whoever
# builds it, wherever and whenever: entries in name order, owned by root,
# dated SOURCE_DATE_EPOCH (the build's, unless CPack is given one),
# directories and programs 0755, other files 0644. dpkg-deb packs the .deb,
# GNU tar and gzip the .tar.gz.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} ${CPACK_HEXSHOW_SOURCE_DATE_EPOCH})
endif()

function(run)
  execute_process(COMMAND ${ARGN} OUTPUT_QUIET RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${ARGN}: ${failed}")
  endif()
endfunction()

foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(package MATCHES "\\.deb$")
    set(tree ${CPACK_TOPLEVEL_DIRECTORY}/repack)
    file(REMOVE_RECURSE ${tree})
    run(dpkg-deb --raw-extract ${package} ${tree})
    run(chmod -R u=rwX,go=rX ${tree})
    run(find ${tree} -exec touch --no-dereference --date=@$ENV{SOURCE_DATE_EPOCH} {} +)
    run(dpkg-deb --root-owner-group -Zgzip --build ${tree} ${package})
  elseif(package MATCHES "\\.tar\\.gz$")
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

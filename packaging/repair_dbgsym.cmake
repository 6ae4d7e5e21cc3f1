# Run by CPack once the packages are made (CPACK_POST_BUILD_SCRIPTS). The
# -dbgsym package of CMake 3.25's CPack lists its files in md5sums under the
# build folder's absolute paths and carries no copyright: it is made again
# with md5sums relative to the root and its documentation folder a link to
# the program's, as Debian's own -dbgsym packages have it (it depends on the
# program's package of the same version).
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    if(NOT package MATCHES "-dbgsym_[^/]*\\.ddeb$")
        continue()
    endif()
    set(root "${package}.root")
    file(REMOVE_RECURSE "${root}")
    execute_process(COMMAND dpkg-deb --raw-extract "${package}" "${root}"
                    RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "cannot unpack ${package}")
    endif()
    file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${root}" "${root}/usr/*")
    list(SORT files)
    set(sums "")
    foreach(path IN LISTS files)
        file(MD5 "${root}/${path}" sum)
        string(APPEND sums "${sum}  ${path}\n")
    endforeach()
    file(WRITE "${root}/DEBIAN/md5sums" "${sums}")
    file(MAKE_DIRECTORY "${root}/usr/share/doc")
    file(CREATE_LINK duplicator-monitor "${root}/usr/share/doc/duplicator-monitor-dbgsym" SYMBOLIC)
    execute_process(COMMAND dpkg-deb --root-owner-group --build "${root}" "${package}"
                    OUTPUT_QUIET RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "cannot pack ${package}")
    endif()
    file(REMOVE_RECURSE "${root}")
endforeach()

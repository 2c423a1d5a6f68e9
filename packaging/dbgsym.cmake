# CPack post-build script: makes each -dbgsym package what dh_strip would have made.
# - md5sums: CPack lists the files under their build paths; dpkg wants them relative to /.
# - the .debug files are data, mode 0644, not executables;
# - /usr/share/doc/PKG-dbgsym is a link to PKG's documentation (copyright, changelog), which
#   Debian allows since the -dbgsym package depends on PKG of exactly its version.
foreach(ddeb ${CPACK_PACKAGE_FILES})
  if(NOT ddeb MATCHES "/([^/_]+)-dbgsym_[^/]+\\.ddeb$")
    continue()
  endif()
  set(pkg ${CMAKE_MATCH_1})
  set(root ${CPACK_TOPLEVEL_DIRECTORY}/dbgsym-mend/${pkg})
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root})
  execute_process(COMMAND dpkg-deb -R ${ddeb} ${root} COMMAND_ERROR_IS_FATAL ANY)

  file(MAKE_DIRECTORY ${root}/usr/share/doc)
  file(CREATE_LINK ${pkg} ${root}/usr/share/doc/${pkg}-dbgsym SYMBOLIC)
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${root} ${root}/usr/*)
  list(SORT files)
  set(md5sums "")
  foreach(f ${files})
    if(IS_SYMLINK ${root}/${f})
      continue()
    endif()
    file(CHMOD ${root}/${f} FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    file(MD5 ${root}/${f} sum)
    string(APPEND md5sums "${sum}  ${f}\n")
  endforeach()
  file(WRITE ${root}/DEBIAN/md5sums "${md5sums}")

  # The package's Source names the source package it shares with PKG.
  file(READ ${root}/DEBIAN/control control)
  if(NOT control MATCHES "\nSource:")
    string(REGEX REPLACE "(^|\n)Package: ([^\n]*)\n" "\\1Package: \\2\nSource: ${CPACK_DEBIAN_PACKAGE_SOURCE}\n"
           control "${control}")
    file(WRITE ${root}/DEBIAN/control "${control}")
  endif()
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz -b ${root} ${ddeb}
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
endforeach()

# The release package. `cmake --install <build> --prefix <folder>` lays it out and `cpack -G ZIP` (run in
# the build folder) zips it as helperZYHOKDriver-<version>-win64.zip, one folder holding:
#   helperZYHOKDriver.dll, helperZYHOKDriver.pdb   the plug-in and its symbols
#   zyhost.exe, zyhost.pdb                         the host program and its symbols
#   README.md, docs/*.md                            the reference pages, so that the README's links hold
#   test-stand-ins-not-for-shipping/               journalsink.dll, setupkit.dll (test stand-ins) and a
#                                                  README.txt that says so
#   SHA256SUMS                                     sha256sum -c format, every other file of the package
# Only the files are installed (no import libraries). The binaries must be built first:
#   cmake --build <build> --target helperZYHOKDriver zyhost
# With $ZYHOK_SIGN set to scripts/sign.sh's options (absolute paths, quoted as on a command line), the
# installed DLL and EXE are signed before SHA256SUMS is written, so the sums cover the signed files; a
# failed signing fails the install. The build folder's binaries stay unsigned.
set(ZYHOK_STAND_INS_DIR test-stand-ins-not-for-shipping)

foreach(target helperZYHOKDriver zyhost)
  install(PROGRAMS $<TARGET_FILE:${target}> DESTINATION .)
  install(FILES $<TARGET_FILE_DIR:${target}>/$<TARGET_FILE_BASE_NAME:${target}>.pdb DESTINATION .)
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION .)
set(ZYHOK_DOC_PAGES benchmark reliability-and-security shipping tests zyhost)
list(TRANSFORM ZYHOK_DOC_PAGES PREPEND ${CMAKE_SOURCE_DIR}/docs/)
list(TRANSFORM ZYHOK_DOC_PAGES APPEND .md)
install(FILES ${ZYHOK_DOC_PAGES} DESTINATION docs)
install(PROGRAMS $<TARGET_FILE:journalsink> $<TARGET_FILE:setupkit> DESTINATION ${ZYHOK_STAND_INS_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/cmake/stand-ins-readme.txt DESTINATION ${ZYHOK_STAND_INS_DIR}
  RENAME README.txt)

install(CODE "set(zyhok_sign_script \"${CMAKE_SOURCE_DIR}/scripts/sign.sh\")")
install(CODE [[
  if(NOT "$ENV{ZYHOK_SIGN}" STREQUAL "")
    set(zyhok_root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
    execute_process(COMMAND "${zyhok_sign_script}" --env
      "${zyhok_root}/helperZYHOKDriver.dll" "${zyhok_root}/zyhost.exe" RESULT_VARIABLE zyhok_rc)
    if(NOT zyhok_rc EQUAL 0)
      message(FATAL_ERROR "signing the release binaries failed (ZYHOK_SIGN=$ENV{ZYHOK_SIGN})")
    endif()
  endif()
]])

# Last rule: SHA256SUMS over exactly the files installed above (the install manifest so far), with
# paths relative to the package root, sorted.
install(CODE [[
  set(zyhok_root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
  set(zyhok_sums "")
  set(zyhok_files "")
  foreach(zyhok_file IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
    file(RELATIVE_PATH zyhok_rel "${zyhok_root}" "${zyhok_file}")
    if(NOT zyhok_rel STREQUAL "SHA256SUMS")
      list(APPEND zyhok_files "${zyhok_rel}")
    endif()
  endforeach()
  list(REMOVE_DUPLICATES zyhok_files)
  list(SORT zyhok_files)
  foreach(zyhok_rel IN LISTS zyhok_files)
    file(SHA256 "${zyhok_root}/${zyhok_rel}" zyhok_hash)
    string(APPEND zyhok_sums "${zyhok_hash}  ${zyhok_rel}\n")
  endforeach()
  message(STATUS "Installing: ${zyhok_root}/SHA256SUMS")
  file(WRITE "${zyhok_root}/SHA256SUMS" "${zyhok_sums}")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${zyhok_root}/SHA256SUMS")
]])

set(CPACK_PACKAGE_NAME helperZYHOKDriver)
set(CPACK_PACKAGE_VENDOR Velmora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_SYSTEM_NAME win64)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${CPACK_SYSTEM_NAME})
include(CPack)

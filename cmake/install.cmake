# Installation and the Debian package.
#   cmake --install build --prefix P   (make install PREFIX=/usr/local)
#   cd build && cpack -G DEB
# The program goes to P/bin, the plug-in to P/lib/kinetra (where the
# program looks for it: ../lib/kinetra from its own directory), the manual
# page, the bash completion, and the documents and examples when present.
# The MLT module and its description go to MLT's module folder under P
# (lib/<arch>/mlt-7: MLT's own when P is MLT's prefix, as in the package;
# `make install` installs this component there too), the Kdenlive effect to
# P/share/kdenlive/effects.
include(GNUInstallDirs)

if(TARGET kinetra_app)
  install(TARGETS kinetra_app RUNTIME DESTINATION bin)
endif()
# Always lib/kinetra (not lib64 or a multiarch folder): the program finds
# the plug-in at ../lib/kinetra/kinetra.auf from its own place.
install(TARGETS kinetra LIBRARY DESTINATION lib/kinetra RUNTIME DESTINATION lib/kinetra)
if(TARGET kinetra_mlt)
  install(TARGETS kinetra_mlt LIBRARY DESTINATION ${KINETRA_MLT_MODULE_DIR} COMPONENT mlt)
  install(FILES ${CMAKE_SOURCE_DIR}/app/mlt/kinetra.yml DESTINATION ${KINETRA_MLT_MODULE_DIR}
    COMPONENT mlt)
  install(FILES ${CMAKE_SOURCE_DIR}/app/mlt/kinetra_kdenlive.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/kdenlive/effects RENAME kinetra.xml COMPONENT mlt)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/man/kinetra.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/completion/kinetra.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME kinetra)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR} OPTIONAL)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
  OPTIONAL)

set(CPACK_PACKAGE_NAME kinetra)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Kinetra developers <kinetra@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Script-driven video and audio filter with a command-line host over FFmpeg")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The shared libraries the program and plug-in link, found by dpkg-shlibdeps
# where dpkg-dev is installed; else the Debian 12 names, declared here.
find_program(KINETRA_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KINETRA_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "fontconfig")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libavformat59, libavcodec59, libavutil57, libswscale6, libswresample4, libfreetype6, libfontconfig1, fontconfig, libgomp1, libstdc++6, libc6")
endif()
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ffmpeg, fonts-ipafont-gothic")
include(CPack)

# The Windows install, which scripts/windows-package.sh stages and wraps in
# an installer (cmake/windows-installer.nsi): the agent and zav-msgctl,
# libzavmsg.dll with its import library and header, and what the agent loads
# of Qt and of the compilers' run-time, as windeployqt would pick it for a
# widgets program that uses the network: the four Qt libraries, the windows
# platform plugin, the Vista style and the image formats that messages use.
get_target_property(ZAV_QT_CORE_DLL Qt5::Core IMPORTED_LOCATION_RELEASE)
get_filename_component(ZAV_QT_BIN "${ZAV_QT_CORE_DLL}" DIRECTORY)
get_filename_component(ZAV_QT_PREFIX "${ZAV_QT_BIN}" DIRECTORY)
set(ZAV_QT_PLUGINS ${ZAV_QT_PREFIX}/plugins)

install(TARGETS zavmsg RUNTIME DESTINATION . ARCHIVE DESTINATION lib COMPONENT agent)
install(FILES ${PROJECT_SOURCE_DIR}/src/zavmsg/zavmsg.h DESTINATION include COMPONENT agent)
install(FILES
    ${ZAV_QT_BIN}/Qt5Core.dll ${ZAV_QT_BIN}/Qt5Gui.dll ${ZAV_QT_BIN}/Qt5Widgets.dll
    ${ZAV_QT_BIN}/Qt5Network.dll
    ${ZAV_MINGW_RUNTIME_DIR}/libstdc++-6.dll ${ZAV_MINGW_RUNTIME_DIR}/libgcc_s_seh-1.dll
    ${ZAV_MINGW_RUNTIME_DIR}/libssp-0.dll
    /usr/${ZAV_MINGW_TRIPLET}/lib/libwinpthread-1.dll
    DESTINATION . COMPONENT agent)
install(FILES ${ZAV_QT_PLUGINS}/platforms/qwindows.dll DESTINATION platforms COMPONENT agent)
install(FILES ${ZAV_QT_PLUGINS}/styles/qwindowsvistastyle.dll DESTINATION styles COMPONENT agent)
install(FILES ${ZAV_QT_PLUGINS}/imageformats/qgif.dll ${ZAV_QT_PLUGINS}/imageformats/qico.dll
              ${ZAV_QT_PLUGINS}/imageformats/qjpeg.dll
        DESTINATION imageformats COMPONENT agent)

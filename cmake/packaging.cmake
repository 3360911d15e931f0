# Debian package of the agent and its tools: `cpack -G DEB` in a build dir.
#
# The package installs under the prefix the build was configured with, since
# the agent looks for its page-view module in a path fixed at build time.
# Configure with -DCMAKE_INSTALL_PREFIX=/usr for a package laid out like any
# other Debian package (the default /usr/local also works).

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "zav-msg-agent")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "zav-msg-agent maintainers")
set(CPACK_PACKAGE_CONTACT "zav-msg-agent maintainers <maintainers@zav-msg-agent.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "per-user desktop notification agent")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
# Debug information stays in the build tree.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION "x11")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "per-user desktop notification agent
 Host products start zav-msg-agent with options that describe themselves; the
 first copy becomes the agent, later copies hand their description to it over
 a local pipe and exit. The agent polls an HTTP push service for every
 registered host and shows each message as a small popup (text with action
 buttons, or a web page), or queues it for hosts that fetch their own messages
 over the pipe. It ends by itself when no registered host process is left.
 .
 Also contains zav-msgctl, a command-line host for the pipe, and
 zav-push-dev, a development push service.")

# Popups show Chinese texts; the desktop's URL handler opens action pages.
set(ZAV_DEB_EXTRA_DEPENDS "fonts-wqy-microhei")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")

find_program(ZAV_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(ZAV_DPKG_SHLIBDEPS)
    # The library packages come from the binaries themselves (Qt, the web
    # engine of the page-view module, cpp-httplib of zav-push-dev, libc...).
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "${ZAV_DEB_EXTRA_DEPENDS}")
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "libqt5core5a (>= 5.15), libqt5gui5 (>= 5.15), libqt5widgets5 (>= 5.15), \
libqt5network5 (>= 5.15), libqt5webkit5, libcpp-httplib0.11, ${ZAV_DEB_EXTRA_DEPENDS}")
endif()

include(CPack)

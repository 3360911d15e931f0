# Debian packages of the agent and its tools: `cpack -G DEB` in a build
# directory makes four of them,
#   zav-msg-agent  the agent, its page view program and zav-msgctl;
#   zav-push-dev   the development push service;
#   libzavmsg1     the host products' C library libzavmsg;
#   libzavmsg-dev  its header, its link and its pkg-config file.
# All install under /usr whatever prefix the build was configured with: the
# agent finds its page view program relative to its own directory. Each
# carries a copyright file made from LICENSE and the changelog in cmake/.

set(ZAV_DEB_DOCS ${PROJECT_BINARY_DIR}/deb-docs)

# The copyright file in Debian's machine-readable form, from LICENSE.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE ZAV_LICENSE)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" ZAV_COPYRIGHT_LINE "${ZAV_LICENSE}")
set(ZAV_COPYRIGHT_HOLDER "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^MIT License\n\n[^\n]*\n\n" "" ZAV_LICENSE_BODY "${ZAV_LICENSE}")
string(STRIP "${ZAV_LICENSE_BODY}" ZAV_LICENSE_BODY)
string(REGEX REPLACE "\n\n" "\n.\n" ZAV_LICENSE_BODY "${ZAV_LICENSE_BODY}")
string(REGEX REPLACE "\n" "\n " ZAV_LICENSE_BODY "${ZAV_LICENSE_BODY}")
file(WRITE ${ZAV_DEB_DOCS}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: zav-msg-agent

Files: *
Copyright: ${ZAV_COPYRIGHT_HOLDER}
License: Expat
 ${ZAV_LICENSE_BODY}
")
configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${ZAV_DEB_DOCS}/LICENSE COPYONLY)

# The changelog, compressed as Debian wants it. Its newest entry names the
# version being packaged.
file(STRINGS ${PROJECT_SOURCE_DIR}/cmake/changelog ZAV_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT ZAV_CHANGELOG_TOP MATCHES "^zav-msg-agent \\(${PROJECT_VERSION}\\) ")
    message(WARNING "cmake/changelog has no entry for version ${PROJECT_VERSION} at the top")
endif()
find_program(ZAV_GZIP gzip)
if(NOT ZAV_GZIP)
    message(FATAL_ERROR "gzip is needed for the package's changelog")
endif()
add_custom_command(OUTPUT ${ZAV_DEB_DOCS}/changelog.gz
    COMMAND ${ZAV_GZIP} -9nc ${PROJECT_SOURCE_DIR}/cmake/changelog > ${ZAV_DEB_DOCS}/changelog.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/cmake/changelog)
add_custom_target(deb-docs ALL DEPENDS ${ZAV_DEB_DOCS}/changelog.gz)

# zav-push-dev's package only when the tool is built (ZAV_BUILD_TOOLS).
set(ZAV_DEB_COMPONENTS agent libzavmsg libzavmsgdev)
if(TARGET zav-push-dev)
    list(APPEND ZAV_DEB_COMPONENTS pushdev)
endif()
set(ZAV_PACKAGE_agent zav-msg-agent)
set(ZAV_PACKAGE_libzavmsg libzavmsg1)
set(ZAV_PACKAGE_libzavmsgdev libzavmsg-dev)
set(ZAV_PACKAGE_pushdev zav-push-dev)
# zav-push's package when the service is built (ZAV_BUILD_PUSH).
if(TARGET zav-push)
    list(APPEND ZAV_DEB_COMPONENTS push)
endif()
set(ZAV_PACKAGE_push zav-push)
foreach(component ${ZAV_DEB_COMPONENTS})
    install(FILES ${ZAV_DEB_DOCS}/copyright ${ZAV_DEB_DOCS}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${ZAV_PACKAGE_${component}}
        COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "zav-msg-agent")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "zav-msg-agent maintainers")
set(CPACK_PACKAGE_CONTACT "zav-msg-agent maintainers <maintainers@zav-msg-agent.invalid>")
set(CPACK_RESOURCE_FILE_LICENSE ${ZAV_DEB_DOCS}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
# Debug information stays in the build tree.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${ZAV_DEB_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")

# The first line of a description is the synopsis; the rest is the long
# description (CPack indents it; an empty line becomes " .").
set(CPACK_DEBIAN_AGENT_PACKAGE_NAME "zav-msg-agent")
set(CPACK_DEBIAN_AGENT_PACKAGE_SECTION "x11")
set(CPACK_DEBIAN_AGENT_DESCRIPTION "per-user desktop notification agent
Host products start zav-msg-agent with options that describe themselves; the
first copy becomes the agent, later copies hand their description to it over
a local pipe and exit. The agent polls an HTTP push service for every
registered host and shows each message as a small popup (text with action
buttons, or a web page), or queues it for hosts that fetch their own messages
over the pipe. It ends by itself when no registered host process is left.

Also contains zav-msgctl, which speaks the agent's pipe protocol from a shell
or a host product.")
# Popups show Chinese texts; the desktop's URL handler opens action pages; on a
# Wayland desktop popups are layer surfaces through the toolkit's Wayland
# platform and its layer-shell plugin.
set(CPACK_DEBIAN_AGENT_PACKAGE_RECOMMENDS
    "fonts-wqy-microhei, xdg-utils, qtwayland5, layer-shell-qt")
# The page view runs in bwrap's sandbox (without it, unconfined, and the log
# says so); the libraries below come on top.
set(ZAV_DEB_AGENT_RUNS "bubblewrap")

set(CPACK_DEBIAN_PUSHDEV_PACKAGE_NAME "zav-push-dev")
set(CPACK_DEBIAN_PUSHDEV_PACKAGE_SECTION "devel")
set(CPACK_DEBIAN_PUSHDEV_DESCRIPTION "development push service for zav-msg-agent
zav-push-dev answers the detect, message and action requests of
zav-msg-agent on a local port, and takes messages to hand out and raw
answers to serve on a small HTTP admin interface. It lets developers of host
products follow a message end to end and try message designs without the
deployment's push service.")
set(CPACK_DEBIAN_PUSHDEV_PACKAGE_SUGGESTS "zav-msg-agent, curl")

set(CPACK_DEBIAN_PUSH_PACKAGE_NAME "zav-push")
set(CPACK_DEBIAN_PUSH_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PUSH_DESCRIPTION "push service for zav-msg-agent
zav-push answers the detect, message and action requests of zav-msg-agent
from a store: an SQLite file by default, or PostgreSQL for a fleet that
outgrows one machine, with any number of instances on it. It delivers
campaigns (a message, an audience by product, version, purchase, properties
and a share of the fleet, a start and an end) and direct messages at most
once per machine, and counts what was delivered and clicked. Campaigns are
taken by a JSON admin API with read and write tokens, and by the zav-push
command line. A systemd unit runs it as a dynamic user.")
set(CPACK_DEBIAN_PUSH_PACKAGE_SUGGESTS "postgresql")
file(WRITE ${ZAV_DEB_DOCS}/push/conffiles "/etc/default/zav-push\n")
set(CPACK_DEBIAN_PUSH_PACKAGE_CONTROL_EXTRA ${ZAV_DEB_DOCS}/push/conffiles)

# The library: its shlibs file and the trigger that runs ldconfig, written
# here. dpkg-shlibdeps is not run on it by CPack, which would add ldconfig
# calls to maintainer scripts that the trigger makes redundant; its Depends
# are asked of dpkg-shlibdeps when cpack runs (cpack-project.cmake).
set(CPACK_DEBIAN_LIBZAVMSG_PACKAGE_NAME "libzavmsg1")
set(CPACK_DEBIAN_LIBZAVMSG_PACKAGE_SECTION "libs")
set(CPACK_DEBIAN_LIBZAVMSG_DESCRIPTION "C library for host products of zav-msg-agent
libzavmsg is what a host product links to talk to the running zav-msg-agent
over its local pipe without Qt: connect, register the host, hand over a
message to show as a popup, count and fetch the messages queued for the
host, each call bounded by a time-out.")
set(CPACK_DEBIAN_LIBZAVMSG_PACKAGE_SHLIBDEPS OFF)
file(WRITE ${ZAV_DEB_DOCS}/libzavmsg/shlibs "libzavmsg 1 libzavmsg1 (>= ${PROJECT_VERSION})\n")
file(WRITE ${ZAV_DEB_DOCS}/libzavmsg/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_LIBZAVMSG_PACKAGE_CONTROL_EXTRA
    ${ZAV_DEB_DOCS}/libzavmsg/shlibs ${ZAV_DEB_DOCS}/libzavmsg/triggers)
set(CPACK_DEBIAN_LIBZAVMSG_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_LIBZAVMSGDEV_PACKAGE_NAME "libzavmsg-dev")
set(CPACK_DEBIAN_LIBZAVMSGDEV_PACKAGE_SECTION "libdevel")
set(CPACK_DEBIAN_LIBZAVMSGDEV_PACKAGE_DEPENDS "libzavmsg1 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_LIBZAVMSGDEV_DESCRIPTION "C library for host products of zav-msg-agent (development files)
libzavmsg is what a host product links to talk to the running zav-msg-agent
over its local pipe without Qt.

This package holds the header zavmsg.h, the link to the library and the
pkg-config file zavmsg.pc.")

find_program(ZAV_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(ZAV_DPKG_SHLIBDEPS)
    # The library packages come from the binaries themselves (Qt, the web
    # engine and libseccomp of the page view, cpp-httplib of zav-push-dev,
    # libc...), added to the packages named here.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/cpack-project.cmake CONTENT "\
# Read by cpack: the library package's Depends, as dpkg-shlibdeps finds them.
if(CPACK_GENERATOR STREQUAL \"DEB\")
    file(MAKE_DIRECTORY \"${PROJECT_BINARY_DIR}/shlibdeps/debian\")
    file(WRITE \"${PROJECT_BINARY_DIR}/shlibdeps/debian/control\" \"\")
    execute_process(COMMAND \"${ZAV_DPKG_SHLIBDEPS}\" -O \"$<TARGET_FILE:zavmsg>\"
        WORKING_DIRECTORY \"${PROJECT_BINARY_DIR}/shlibdeps\"
        OUTPUT_VARIABLE found COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX REPLACE \"^shlibs:Depends=([^\\n]*).*\" \"\\\\1\" found \"\${found}\")
    set(CPACK_DEBIAN_LIBZAVMSG_PACKAGE_DEPENDS \"\${found}\")
endif()
")
    set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/cpack-project.cmake)
    set(CPACK_DEBIAN_AGENT_PACKAGE_DEPENDS "${ZAV_DEB_AGENT_RUNS}")
else()
    set(CPACK_DEBIAN_AGENT_PACKAGE_DEPENDS
        "${ZAV_DEB_AGENT_RUNS}, libc6, libstdc++6, libqt5core5a (>= 5.15), libqt5gui5 (>= 5.15), \
libqt5widgets5 (>= 5.15), libqt5network5 (>= 5.15), libqt5dbus5 (>= 5.15), \
libqt5webenginewidgets5, libseccomp2, libjansson4, libxcb1, libxcb-xinput0")
    set(CPACK_DEBIAN_LIBZAVMSG_PACKAGE_DEPENDS "libc6, libjansson4")
    set(CPACK_DEBIAN_PUSHDEV_PACKAGE_DEPENDS
        "libc6, libstdc++6, libqt5core5a (>= 5.15), libcpp-httplib0.11")
    set(CPACK_DEBIAN_PUSH_PACKAGE_DEPENDS
        "libc6, libstdc++6, libsqlite3-0, libpq5, libjansson4, libssl3")
endif()

include(CPack)

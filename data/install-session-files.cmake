# Runs at install time: CMAKE_INSTALL_PREFIX is the prefix being installed to.
set(prefix "${CMAKE_INSTALL_PREFIX}")
if(IS_ABSOLUTE "${QUILLNET_BINDIR}")
    set(bindir "${QUILLNET_BINDIR}")
else()
    set(bindir "${prefix}/${QUILLNET_BINDIR}")
endif()
set(QUILLNET_DAEMON_BINARY "${bindir}/quillnet-daemon")

# systemd searches /usr/lib/systemd/user for the system's packages, and for every other prefix
# <prefix>/share/systemd/user through the XDG data directories (~/.local/share, /usr/local/share).
set(unitdir "${QUILLNET_SYSTEMD_USER_UNIT_DIR}")
if(unitdir STREQUAL "")
    if(prefix STREQUAL "/usr")
        set(unitdir "lib/systemd/user")
    else()
        set(unitdir "${QUILLNET_DATADIR}/systemd/user")
    endif()
endif()
if(NOT IS_ABSOLUTE "${unitdir}")
    set(unitdir "${prefix}/${unitdir}")
endif()
# The session bus searches <data directory>/dbus-1/services for every XDG data directory.
set(servicedir "${prefix}/${QUILLNET_DATADIR}/dbus-1/services")

set(generated "${QUILLNET_DATA_BINARY_DIR}/installed")
configure_file("${QUILLNET_DATA_SOURCE_DIR}/quillnet-daemon.service.in" "${generated}/quillnet-daemon.service" @ONLY)
configure_file("${QUILLNET_DATA_SOURCE_DIR}/com.tarvo.quillnetveldo.service.in"
               "${generated}/com.tarvo.quillnetveldo.service" @ONLY)
file(INSTALL "${generated}/quillnet-daemon.service" "${QUILLNET_DATA_SOURCE_DIR}/quillnet-daemon.path"
     DESTINATION "${unitdir}")
file(INSTALL "${generated}/com.tarvo.quillnetveldo.service" DESTINATION "${servicedir}")

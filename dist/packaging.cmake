# Three Debian packages from one build (cmake --build build --target package):
#   orvanta           the kiosk, its session and units, its documentation
#   orvanta-lockdown  the keyboard sealed: no console switch, no reboot or power keys
#   quillmark-sim     the simulated management server with its demo data
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvanta)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the Orvanta developers")
set(CPACK_PACKAGE_CONTACT "Orvanta maintainers <maintainers@orvanta.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL kiosk lockdown simulator)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE orvanta)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies come from the binaries (dpkg-shlibdeps); the rest is what the
# session needs at run time.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_KIOSK_PACKAGE_NAME orvanta)
set(CPACK_DEBIAN_KIOSK_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_KIOSK_PACKAGE_DEPENDS
    "fonts-urw-base35, xserver-xorg-core, xserver-xorg-input-libinput, xinit, xauth, x11-xserver-utils, adduser, libpam-systemd")
set(CPACK_DEBIAN_KIOSK_PACKAGE_SUGGESTS "x11vnc, quillmark-sim, systemd-journal-remote")
set(CPACK_DEBIAN_KIOSK_DESCRIPTION
    "customer terminal of a golf driving range
A full-screen touch kiosk beside a ball dispenser: a customer pays with a
printed barcode voucher or a members card, the kiosk asks the range's
Quillmark management server over TCP what it is worth, offers the buckets
it pays for, counts the balls down and reports the bucket it issued.

The package brings the kiosk session, orvanta-kiosk.service (disabled until
enabled): a bare X server on tty7 with the kiosk as its only client, run as
the system user orvanta and back within seconds after a crash. Before that,
orvanta --check-config checks /etc/orvanta/config.ini and the server's port.
orvanta-vnc.service shares the screen on 127.0.0.1 for an SSH tunnel.")
file(WRITE ${CMAKE_BINARY_DIR}/dist/control/conffiles "/etc/orvanta/config.ini\n")
set(CPACK_DEBIAN_KIOSK_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/dist/postinst
    ${CMAKE_SOURCE_DIR}/dist/prerm
    ${CMAKE_SOURCE_DIR}/dist/postrm
    ${CMAKE_BINARY_DIR}/dist/control/conffiles)

set(CPACK_DEBIAN_LOCKDOWN_PACKAGE_NAME orvanta-lockdown)
set(CPACK_DEBIAN_LOCKDOWN_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_LOCKDOWN_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_LOCKDOWN_PACKAGE_DEPENDS orvanta)
set(CPACK_DEBIAN_LOCKDOWN_DESCRIPTION
    "seal of the Orvanta kiosk against a customer's keyboard
Keeps a customer with a USB keyboard inside the Orvanta kiosk: the X server
ignores Ctrl+Alt+Fn (no switch to a text console) and Ctrl+Alt+Backspace,
logind ignores the power, suspend, hibernate and reboot keys and starts no
consoles on other virtual terminals, Ctrl+Alt+Del is masked and Alt+SysRq is
off. Install it on the range's kiosks, not on a technician's desktop; a
technician reaches a sealed kiosk over SSH. Removing it lifts the seal.")
set(CPACK_DEBIAN_LOCKDOWN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/dist/lockdown/postinst
    ${CMAKE_SOURCE_DIR}/dist/lockdown/postrm)

set(CPACK_DEBIAN_SIMULATOR_PACKAGE_NAME quillmark-sim)
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SIMULATOR_DESCRIPTION
    "simulated Quillmark management server for the Orvanta kiosk
Answers the Orvanta kiosk's validation and usage-report requests over TCP
from a JSON data file, for trials and for integrators: demo cards and
vouchers, and fault modes (late, missing, split or spoiled replies) for
trying the kiosk's failure paths. It listens on 127.0.0.1 unless told
otherwise.")

include(CPack)

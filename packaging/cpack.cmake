# The Debian package: vorlund_<version>_<arch>.deb, built with `cpack -G DEB` in the build tree.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vorlund)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Vorlund developers")
set(CPACK_PACKAGE_CONTACT "The Vorlund developers <developers@vorlund.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop client that sends signed prompts to a local daemon")
# One paragraph, wrapped as Debian shows it.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "Vorlund sends a prompt as an Ed25519-signed pinch to a daemon on the same"
    "machine and shows its answer with a badge that tells whether the daemon's"
    "signature holds and the answer is addressed to the client. The package"
    "also holds that daemon, vorlund-daemon, which answers from any local model"
    "server that speaks the OpenAI chat-completions API (llama.cpp, Ollama,"
    "vLLM and others), or by echo without one, with a systemd user unit.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The linked libraries (Qt, QCoro, libsodium, cpp-httplib) come from dpkg-shlibdeps. What the
# program only loads at run time is invisible to it: the QML modules the window imports and
# the SVG plugins that draw its icons.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "qml6-module-qtquick, qml6-module-qtquick-controls, qml6-module-qtquick-layouts, \
qml6-module-qtquick-window, qml6-module-qtquick-templates, qml6-module-qtqml-workerscript, \
libqt6svg6")
# On GNOME, Qt reads the desktop's palette (light or dark) through this plugin.
# The daemon checks an https model server's certificate against the system's store.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-gtk-platformtheme, ca-certificates")

include(CPack)

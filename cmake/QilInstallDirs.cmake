# Included by the install rules, at install time: where the settings and
# the shared files of this prefix go, as absolute paths without DESTDIR.
# The prefix is only known then (cmake --install --prefix), and the
# settings of a /usr install belong in /etc, where systemd and people look.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr" OR CMAKE_INSTALL_PREFIX STREQUAL "/")
  set(QILDNSC_SYSCONFDIR "/etc")
else()
  set(QILDNSC_SYSCONFDIR "${CMAKE_INSTALL_PREFIX}/etc")
endif()
if(CMAKE_INSTALL_PREFIX STREQUAL "/")
  set(QILDNSC_DATADIR "/usr/share")
else()
  set(QILDNSC_DATADIR "${CMAKE_INSTALL_PREFIX}/share")
endif()

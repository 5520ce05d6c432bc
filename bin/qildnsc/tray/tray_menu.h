/*
 * tray_menu.h -- the tray icon's menu as a com.canonical.dbusmenu object:
 * the disabled title, a separator and "Exit". The host draws it; a click
 * on "Exit" ends the message loop with status 0.
 *
 * Everything here runs on the first thread, inside the bus's event loop.
 */
#ifndef QILDNSC_TRAY_MENU_H
#define QILDNSC_TRAY_MENU_H

#include <systemd/sd-bus.h>

/* Where the menu lives on the bus; the tray item's Menu property. */
#define TRAY_MENU_PATH "/MenuBar"

/*
 * Publishes the menu at TRAY_MENU_PATH on `bus`, which must be attached to
 * an event loop: "Exit" ends that loop. The object stays until `*slot` is
 * unreferenced. 0, or a negative error number (the caller logs it).
 */
int tray_menu_publish(sd_bus *bus, sd_bus_slot **slot);

#endif

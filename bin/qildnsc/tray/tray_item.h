/*
 * tray_item.h -- the tray icon on a Linux desktop: an
 * org.kde.StatusNotifierItem (with its menu) registered with the panel's
 * StatusNotifierWatcher, again whenever the watcher changes hands (the
 * panel restarted), and the balloon when the icon first appears.
 *
 * Everything here runs on the first thread, inside the bus's event loop;
 * nothing waits for an answer from the bus.
 */
#ifndef QILDNSC_TRAY_ITEM_H
#define QILDNSC_TRAY_ITEM_H

#include <systemd/sd-bus.h>

struct tray_item;

/*
 * Publishes the item and its menu on `bus` (attached to an event loop,
 * which the menu's "Exit" ends), takes the item's bus name and registers
 * it with the watcher. With no watcher on the bus one line is logged and
 * the item waits for one. Null (logged) when the objects cannot be
 * published.
 */
struct tray_item *tray_item_new(sd_bus *bus);

/* Withdraws the objects and stops watching; `*item` becomes null. The
 * bus name goes with the bus connection. */
void tray_item_delete(struct tray_item **item);

#endif

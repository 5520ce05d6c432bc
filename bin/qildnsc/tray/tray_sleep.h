/*
 * tray_sleep.h -- sleep and wake end the process: logind's PrepareForSleep
 * signal on the system bus, before the machine sleeps and again after it
 * wakes, ends the first thread's loop with status 0. First thread only.
 */
#ifndef QILDNSC_TRAY_SLEEP_H
#define QILDNSC_TRAY_SLEEP_H

#include <systemd/sd-bus.h>

/*
 * Subscribes to PrepareForSleep on `bus` (the system bus, attached to the
 * event loop that the signal is to end). The subscription lasts until
 * `*slot` is unreferenced. Logs one line once the bus has it in place, or
 * why it could not be.
 */
void tray_sleep_watch(sd_bus *bus, sd_bus_slot **slot);

#endif

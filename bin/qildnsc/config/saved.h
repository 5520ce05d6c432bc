/*
 * saved.h -- the last configuration document fetched, kept beside the
 * log, so that a start without the network (at resume from sleep, on a
 * new network, at a boot that called itself online too soon) still has
 * its servers.
 *
 * Start-up thread only.
 */
#ifndef QILDNSC_SAVED_H
#define QILDNSC_SAVED_H

#include <stddef.h>

#define SAVED_CONFIG_FILE "qildnsc_config.json"

/* Keeps the `len` bytes of `doc`, a document that was fetched and read,
 * in SAVED_CONFIG_FILE, replacing the earlier one whole (a new file moved
 * over it); a failure is logged and costs nothing else. */
void saved_config_store(const char *doc, size_t len);

/* Reads the saved document into `buf` (`cap` bytes, NUL-terminated, its
 * length in `*len`) and logs a warning naming its age; -1 (logged) when
 * there is none, or it does not fit. */
int saved_config_load(char *buf, size_t cap, size_t *len);

#endif

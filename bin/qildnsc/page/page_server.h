/*
 * page_server.h -- the query page, served by the forwarder itself on
 * 127.0.0.1 (Linux): the records and counters, live, for whoever holds
 * the page's token; read-only.
 */
#ifndef QILDNSC_PAGE_SERVER_H
#define QILDNSC_PAGE_SERVER_H

#include <stdint.h>

/* The file beside the log that holds the page's address with its token. */
#define PAGE_TOKEN_FILE "qildnsc_page.txt"

/* Takes the token of PAGE_TOKEN_FILE or makes one, writes the file when
 * it says otherwise, says the address on standard error and starts
 * serving on 127.0.0.1:`port`, on a thread of its own; 0, or -1 (logged)
 * when the page cannot be had. */
int page_start(uint16_t port);
/* Stops serving (at "Exit"); nothing when it never started. */
void page_stop(void);

#endif

/*
 * page_access.h -- who may see the query page: only a browser on this
 * machine that holds the page's token, asking by the page's own
 * address (so that a page elsewhere cannot reach it through a name of its
 * own that points at the loopback).
 */
#ifndef QILDNSC_PAGE_ACCESS_H
#define QILDNSC_PAGE_ACCESS_H

#include <stdint.h>

#include "odr.h"

enum page_access {
	PAGE_OK,
	PAGE_NOT_LOOPBACK, /* the peer is not on the loopback */
	PAGE_BAD_HOST,     /* a Host header other than the page's address */
	PAGE_BAD_TOKEN,    /* no token, or another one */
	PAGE_BAD_METHOD,   /* anything but GET and HEAD: the page changes nothing */
};

/* The verdict on one request: its peer, method, Host header and token
 * (NULL when absent), against the page's port and token. */
enum page_access page_check(const struct sockaddr *peer, const char *method, const char *host,
                            const char *token, uint16_t port, const char *want_token);

/* The HTTP status that answers a refusal. */
unsigned page_status(enum page_access a);

#endif

/*
 * page_access.cc -- the rules of page_access.h, with no state: any thread.
 */
#include <stdio.h>
#include <string.h>

#include <initializer_list>

#include "page/page_access.h"

static bool
page_loopback(const struct sockaddr *sa)
{
	if (sa == NULL)
		return false;
	if (sa->sa_family == AF_INET) {
		const auto *sin = reinterpret_cast<const struct sockaddr_in *>(sa);
		return (ntohl(sin->sin_addr.s_addr) >> 24) == 127;
	}
	if (sa->sa_family == AF_INET6) {
		const auto *sin6 = reinterpret_cast<const struct sockaddr_in6 *>(sa);
		return IN6_IS_ADDR_LOOPBACK(&sin6->sin6_addr);
	}
	return false;
}

/* The Host header names the page as the browser was told it: 127.0.0.1
 * or localhost, with the page's port. */
static bool
page_host_ok(const char *host, uint16_t port)
{
	if (host == NULL)
		return false;
	for (const char *name : {"127.0.0.1", "localhost"}) {
		char want[32];
		(void)snprintf(want, sizeof want, "%s:%u", name, (unsigned)port);
		if (strcmp(host, want) == 0)
			return true;
	}
	return false;
}

/* Compares in time that does not depend on where they differ. */
static bool
page_token_ok(const char *token, const char *want)
{
	if (token == NULL || want == NULL || strlen(token) != strlen(want))
		return false;
	unsigned char diff = 0;
	for (size_t i = 0; want[i] != '\0'; i++)
		diff |= (unsigned char)(token[i] ^ want[i]);
	return diff == 0;
}

enum page_access
page_check(const struct sockaddr *peer, const char *method, const char *host, const char *token,
           uint16_t port, const char *want_token)
{
	if (!page_loopback(peer))
		return PAGE_NOT_LOOPBACK;
	if (!page_host_ok(host, port))
		return PAGE_BAD_HOST;
	if (!page_token_ok(token, want_token))
		return PAGE_BAD_TOKEN;
	if (method == NULL || (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0))
		return PAGE_BAD_METHOD;
	return PAGE_OK;
}

unsigned
page_status(enum page_access a)
{
	switch (a) {
	case PAGE_OK:
		return 200;
	case PAGE_BAD_HOST:
		return 421; /* misdirected: not this page's name */
	case PAGE_BAD_METHOD:
		return 405;
	case PAGE_NOT_LOOPBACK:
	case PAGE_BAD_TOKEN:
		return 403;
	}
	return 403;
}

/*
 * relay.h -- response relay: DNS_remote() and the held-answer queue.
 *
 * Owned by the event-loop thread alone; nothing here is locked.
 */
#ifndef QILDNSC_RELAY_H
#define QILDNSC_RELAY_H

#include <stdint.h>
#include "odr.h"

#define HELD_ANSWERS_SLOTS 128
#define REMOTE_BUFSIZE (2 + 512)
#define HOLD_DELAY 0.3f

struct held_answer {
	uint16_t id;
	struct odr_timeval stamp;
	uint8_t *data;
	int32_t len;
	struct sockaddr_storage client_addr;
	int32_t client_addrlen;
};

/* Seconds from `earlier` to `later`, as the hold queue compares them. */
float elapsed_seconds(const struct odr_timeval *earlier, const struct odr_timeval *later);

/* Holds a copy of an answer; a newer answer for the same ID replaces it. */
void hold_answer(uint16_t id, const uint8_t *data, int32_t len,
                 const struct sockaddr_storage *client_addr, int32_t client_addrlen);
/* Sends the held answers whose time has come, oldest first. */
void release_held_answers(void);
/* Number of answers held now. */
int held_answers_count(void);

/* Reads and relays one datagram from the upstream socket. */
void DNS_remote(void);

#endif

/*
 * loop.cc -- the listening and upstream sockets, and main_loop(): one
 * select(2) over both with a 50 ms time-out, due held answers released on
 * every turn, then at most one datagram read from each readable socket.
 *
 * init_sockets() runs on the start-up thread; main_loop() is the only
 * thread that touches the sockets afterwards.
 */
#include "diversion.h"
#include "intake.h"
#include "loop.h"
#include "qildnsc.h"
#include "relay.h"
#include "vtc_log.h"
#include "vtcp.h"

int local_fd = -1;
int remote_fd = -1;

void
loop_sendto(int fd, const void *data, size_t len, const void *addr, int32_t addrlen,
            const char *code)
{
	if (ODR_sendto(fd, data, len, 0, static_cast<const struct sockaddr *>(addr),
	    (socklen_t)addrlen) == -1) {
		int e = ODR_sockError();
		vtc_log(vl, VTCLOG_ERROR, "%s: sendto(2) error: %d %s", code, e,
		    ODR_sockErrorText());
	}
}

bool
loop_recv_quiet(int err)
{
	return ODR_sockErrorIsReset(err) || err == ODR_EWOULDBLOCK || err == ODR_EINTR;
}

int
init_sockets(void)
{
	struct addrinfo hints = {}, *res = NULL;
	int r;

	local_fd = socket(AF_INET, SOCK_DGRAM, 17);
	QIL_ASSERT(local_fd >= 0);
	r = VTCP_nonblocking(local_fd);
	QIL_ASSERT(r == 0);
	/* No SO_REUSEADDR: on a datagram socket it would let a second
	 * program bind this address and port and quietly take the queries. */

	hints.ai_family = AF_INET;
	hints.ai_socktype = SOCK_DGRAM;
	r = getaddrinfo(dnsc_conf.listen_addr, dnsc_conf.listen_port, &hints, &res);
	if (r != 0) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00690: getaddrinfo(3) for %s:%s error: %s",
		    dnsc_conf.listen_addr, dnsc_conf.listen_port, gai_strerror(r));
		return -1;
	}
	if (bind(local_fd, res->ai_addr, res->ai_addrlen) != 0) {
		int e = ODR_sockError();
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00691: bind(2) for %s:%s error: %d %s",
		    dnsc_conf.listen_addr, dnsc_conf.listen_port, e, ODR_sockErrorText());
		freeaddrinfo(res);
		return -1;
	}
	freeaddrinfo(res);

	remote_fd = socket(AF_INET, SOCK_DGRAM, 17);
	QIL_ASSERT(remote_fd >= 0);
	r = VTCP_nonblocking(remote_fd);
	QIL_ASSERT(r == 0);
	if (dnsc_conf.use_windivert)
		divert_exempt_socket(remote_fd);

	vtc_log(vl, VTCLOG_DEBUG2, "[INFO] Listening on %s:%s", dnsc_conf.listen_addr,
	    dnsc_conf.listen_port);
	return 0;
}

void *
main_loop(void *arg)
{
	(void)arg;
	int maxfd = (local_fd > remote_fd ? local_fd : remote_fd) + 1;

	for (;;) {
		struct timeval tv = {0, SELECT_TIMEOUT_USEC};
		fd_set rfds;

		FD_ZERO(&rfds);
		FD_SET(local_fd, &rfds);
		FD_SET(remote_fd, &rfds);
		if (select(maxfd, &rfds, NULL, NULL, &tv) == -1) {
			int e = ODR_sockError();
			if (e == ODR_EINTR)
				continue;
			vtc_log(vl, VTCLOG_ERROR, "QILEC_00704: select(2) error: %d %s", e,
			    ODR_sockErrorText());
			break;
		}
		release_held_answers();
		if (FD_ISSET(local_fd, &rfds))
			DNS_local();
		if (FD_ISSET(remote_fd, &rfds))
			DNS_remote();
	}
	return NULL;
}

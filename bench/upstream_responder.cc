/*
 * upstream_responder.cc -- a fast, plain upstream DNS server for
 * benchmarks: answers every query with two A records (so the forwarder
 * relays at once), on the address and port given, for at most the given
 * number of seconds.
 *
 * usage: upstream_responder ADDR PORT SECONDS
 */
#include <arpa/inet.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

int
main(int argc, char *argv[])
{
	if (argc != 4) {
		fprintf(stderr, "usage: upstream_responder ADDR PORT SECONDS\n");
		return 2;
	}
	int fd = socket(AF_INET, SOCK_DGRAM, 0);
	struct sockaddr_in sin = {};
	sin.sin_family = AF_INET;
	sin.sin_port = htons((uint16_t)atoi(argv[2]));
	if (fd < 0 || inet_pton(AF_INET, argv[1], &sin.sin_addr) != 1 ||
	    bind(fd, (struct sockaddr *)&sin, sizeof sin) != 0) {
		perror("bind");
		return 1;
	}
	time_t end = time(NULL) + atoi(argv[3]);
	unsigned char buf[4096];
	static const unsigned char answers[] = {
		0xc0, 0x0c, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 192, 0, 2, 1,
		0xc0, 0x0c, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 192, 0, 2, 2,
	};
	while (time(NULL) < end) {
		struct pollfd pfd = {fd, POLLIN, 0};
		if (poll(&pfd, 1, 200) <= 0)
			continue;
		struct sockaddr_storage from;
		socklen_t fl = sizeof from;
		ssize_t n = recvfrom(fd, buf, sizeof buf - sizeof answers, 0,
		    (struct sockaddr *)&from, &fl);
		if (n < 12 || buf[4] != 0 || buf[5] != 1)
			continue;
		/* Keep the header and the one question; drop anything after it. */
		size_t q = 12;
		while (q < (size_t)n && buf[q] != 0)
			q += buf[q] + 1;
		q += 5;
		if (q > (size_t)n)
			continue;
		buf[2] |= 0x80;            /* QR */
		buf[3] = 0x80;             /* RA, NOERROR */
		buf[6] = 0, buf[7] = 2;    /* two answers */
		buf[8] = buf[9] = buf[10] = buf[11] = 0;
		memcpy(buf + q, answers, sizeof answers);
		(void)sendto(fd, buf, q + sizeof answers, 0, (struct sockaddr *)&from, fl);
	}
	return 0;
}

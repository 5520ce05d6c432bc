/*
 * upstream_responder.cc -- a fast, plain upstream DNS server for
 * benchmarks: answers every query with RECORDS A records (default 2, so
 * that the forwarder relays at once; 1 makes it hold every answer), on the
 * address and port given, for at most the given number of seconds.
 * Batched (recvmmsg/sendmmsg), so that it is never the slowest hop.
 *
 * usage: upstream_responder ADDR PORT SECONDS [RECORDS]
 */
#include <arpa/inet.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { BATCH = 64, BUFSIZE = 1024 };

static const unsigned char answer_records[] = {
	0xc0, 0x0c, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 192, 0, 2, 1,
	0xc0, 0x0c, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 192, 0, 2, 2,
};

/* Turns the query in `buf` into its answer in place; its new length, or 0
 * when it is no query worth answering. */
static size_t
answer(unsigned char *buf, size_t n, int records)
{
	size_t rrlen = 16 * (size_t)records;

	if (n < 12 || buf[4] != 0 || buf[5] != 1)
		return 0;
	/* Keep the header and the one question; drop anything after it. */
	size_t q = 12;
	while (q < n && buf[q] != 0)
		q += buf[q] + 1u;
	q += 5;
	if (q > n || q + rrlen > BUFSIZE)
		return 0;
	buf[2] |= 0x80;         /* QR */
	buf[3] = 0x80;          /* RA, NOERROR */
	buf[6] = 0;
	buf[7] = (unsigned char)records;
	buf[8] = buf[9] = buf[10] = buf[11] = 0;
	memcpy(buf + q, answer_records, rrlen);
	return q + rrlen;
}

int
main(int argc, char *argv[])
{
	if (argc != 4 && argc != 5) {
		fprintf(stderr, "usage: upstream_responder ADDR PORT SECONDS [RECORDS]\n");
		return 2;
	}
	int records = argc == 5 ? atoi(argv[4]) : 2;
	if (records < 0 || records > 2) {
		fprintf(stderr, "upstream_responder: RECORDS is 0, 1 or 2\n");
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
	int rcvbuf = 4 << 20;
	(void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);

	static unsigned char bufs[BATCH][BUFSIZE];
	static struct sockaddr_storage from[BATCH];
	static struct iovec iov[BATCH], oiov[BATCH];
	static struct mmsghdr in[BATCH], out[BATCH];
	time_t end = time(NULL) + atoi(argv[3]);
	while (time(NULL) < end) {
		struct pollfd pfd = {fd, POLLIN, 0};
		if (poll(&pfd, 1, 200) <= 0)
			continue;
		for (int i = 0; i < BATCH; i++) {
			iov[i].iov_base = bufs[i];
			iov[i].iov_len = BUFSIZE;
			memset(&in[i].msg_hdr, 0, sizeof in[i].msg_hdr);
			in[i].msg_hdr.msg_name = &from[i];
			in[i].msg_hdr.msg_namelen = sizeof from[i];
			in[i].msg_hdr.msg_iov = &iov[i];
			in[i].msg_hdr.msg_iovlen = 1;
		}
		int n = recvmmsg(fd, in, BATCH, MSG_DONTWAIT, NULL);
		int k = 0;
		for (int i = 0; i < n; i++) {
			size_t len = answer(bufs[i], in[i].msg_len, records);
			if (len == 0)
				continue;
			oiov[k].iov_base = bufs[i];
			oiov[k].iov_len = len;
			memset(&out[k].msg_hdr, 0, sizeof out[k].msg_hdr);
			out[k].msg_hdr.msg_name = &from[i];
			out[k].msg_hdr.msg_namelen = in[i].msg_hdr.msg_namelen;
			out[k].msg_hdr.msg_iov = &oiov[k];
			out[k].msg_hdr.msg_iovlen = 1;
			k++;
		}
		for (int sent = 0; sent < k;) {
			int r = sendmmsg(fd, out + sent, (unsigned)(k - sent), 0);
			sent += r > 0 ? r : 1; /* a failed answer is just lost */
		}
	}
	return 0;
}

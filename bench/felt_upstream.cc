/*
 * felt_upstream.cc -- the upstream of bench/felt.sh: a small zone whose
 * answers come after a fixed delay, as from a server across a network.
 *
 * Names under felt.test, by their first letter:
 *   s<n>  one A record            m<n>  three A records
 *   c<n>  a CNAME, then one A     w<n>  one A record, TTL 60
 *   v<n>  one A record, TTL 3600, and an AAAA question answered empty
 *         without SOA, as home routers answer for an IPv4-only name
 *   anything else: NXDOMAIN.
 * No name has an AAAA record: AAAA questions get NODATA. Negative answers
 * carry an SOA (minimum 300) but for v<n>; positive TTLs are 300 but for
 * w<n> and v<n>.
 *
 * usage: felt_upstream ADDR PORT SECONDS DELAY_MS
 */
#include <arpa/inet.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <deque>
#include <vector>

namespace {

struct Due {
	double at;
	std::vector<unsigned char> msg;
	sockaddr_in to;
	socklen_t tolen;
};

double
mono()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

void
put16(std::vector<unsigned char> &b, unsigned v)
{
	b.push_back((unsigned char)(v >> 8));
	b.push_back((unsigned char)v);
}

void
put32(std::vector<unsigned char> &b, unsigned v)
{
	put16(b, v >> 16);
	put16(b, v & 0xffff);
}

/* A record owned by the name at `owner` (a compression offset). */
void
record(std::vector<unsigned char> &b, unsigned owner, unsigned type, unsigned ttl,
       const std::vector<unsigned char> &rdata)
{
	put16(b, 0xc000 | owner);
	put16(b, type);
	put16(b, 1);
	put32(b, ttl);
	put16(b, (unsigned)rdata.size());
	b.insert(b.end(), rdata.begin(), rdata.end());
}

/* The answer to the query `q` of `n` bytes; empty when it is none. */
std::vector<unsigned char>
answer(const unsigned char *q, size_t n)
{
	std::vector<unsigned char> a;
	if (n < 12 || q[4] != 0 || q[5] != 1)
		return a;
	size_t end = 12;
	/* The first letter of the first label tells the shape. */
	char kind = n > 13 && q[12] > 0 ? (char)q[13] : 'x';
	while (end < n && q[end] != 0)
		end += q[end] + 1u;
	end += 5;
	if (end > n)
		return a;
	unsigned qtype = (unsigned)q[end - 4] << 8 | q[end - 3];
	bool exists = kind == 's' || kind == 'm' || kind == 'c' || kind == 'w' || kind == 'v';
	bool has = exists && qtype == 1;
	a.assign(q, q + end);
	a[2] = (unsigned char)(0x80 | (q[2] & 0x01)); /* QR, RD kept */
	a[3] = (unsigned char)(0x80 | (exists ? 0 : 3));
	a[6] = a[7] = a[8] = a[9] = a[10] = a[11] = 0;
	a.resize(end);
	unsigned an = 0, ns = 0;
	if (has && kind == 'c') {
		std::vector<unsigned char> target = {6, 't', 'a', 'r', 'g', 'e', 't', 0xc0, 12};
		size_t at = a.size() + 12;
		record(a, 12, 5, 300, target);
		record(a, (unsigned)at, 1, 300, {192, 0, 2, 30});
		an = 2;
	} else if (has) {
		int k = kind == 'm' ? 3 : 1;
		unsigned ttl = kind == 'w' ? 60 : kind == 'v' ? 3600 : 300;
		for (int i = 0; i < k; i++)
			record(a, 12, 1, ttl, {192, 0, 2, (unsigned char)(10 + i)});
		an = (unsigned)k;
	} else if (kind != 'v') {
		/* The SOA of felt.test: mname and rname at the zone, then its
		 * five numbers, the minimum last. */
		std::vector<unsigned char> soa = {0, 0};
		for (unsigned v : {1u, 3600u, 600u, 86400u, 300u}) {
			soa.push_back((unsigned char)(v >> 24));
			soa.push_back((unsigned char)(v >> 16));
			soa.push_back((unsigned char)(v >> 8));
			soa.push_back((unsigned char)v);
		}
		record(a, 12, 6, 300, soa);
		ns = 1;
	}
	a[7] = (unsigned char)an;
	a[9] = (unsigned char)ns;
	return a;
}

} // namespace

int
main(int argc, char *argv[])
{
	if (argc != 5) {
		fprintf(stderr, "usage: felt_upstream ADDR PORT SECONDS DELAY_MS\n");
		return 2;
	}
	int fd = socket(AF_INET, SOCK_DGRAM, 0);
	sockaddr_in sin = {};
	sin.sin_family = AF_INET;
	sin.sin_port = htons((unsigned short)atoi(argv[2]));
	if (fd < 0 || inet_pton(AF_INET, argv[1], &sin.sin_addr) != 1 ||
	    bind(fd, (sockaddr *)&sin, sizeof sin) != 0) {
		perror("felt_upstream: bind");
		return 1;
	}
	double end = mono() + atof(argv[3]);
	double delay = atof(argv[4]) / 1000.0;
	std::deque<Due> queue; /* one delay for all: due in arrival order */
	while (mono() < end) {
		int wait = 1000;
		if (!queue.empty())
			wait = (int)((queue.front().at - mono()) * 1000.0) + 1;
		pollfd p = {fd, POLLIN, 0};
		if (poll(&p, 1, wait < 0 ? 0 : wait) == 1) {
			unsigned char buf[1500];
			Due d = {};
			d.tolen = sizeof d.to;
			ssize_t n = recvfrom(fd, buf, sizeof buf, 0, (sockaddr *)&d.to, &d.tolen);
			if (n > 0) {
				d.msg = answer(buf, (size_t)n);
				d.at = mono() + delay;
				if (!d.msg.empty())
					queue.push_back(std::move(d));
			}
		}
		double now = mono();
		while (!queue.empty() && queue.front().at <= now) {
			const Due &d = queue.front();
			(void)sendto(fd, d.msg.data(), d.msg.size(), 0, (const sockaddr *)&d.to,
			    d.tolen);
			queue.pop_front();
		}
	}
	return 0;
}

/*
 * felt_driver.cc -- lookups as an application makes them, timed: each name
 * of a trace through getaddrinfo(3) with AF_UNSPEC, which asks A and AAAA
 * together, one after the other (or one every INTERVAL seconds). The
 * resolver is whatever /etc/resolv.conf names: run it inside a network
 * namespace whose resolv.conf points at the server under test.
 *
 * Prints one line: the peer's label, the median of every lookup, then for
 * first lookups of a name and
 * for repeats apart their count, median and p90 in ms (and the repeats'
 * longest), then the lookups
 * that took 0.3 s or more and those that failed (other than "no such
 * name"). With INTERVAL, each lookup's time too.
 *
 * usage: felt_driver LABEL TRACE [INTERVAL]
 */
#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

double
mono()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

/* The P-th percentile of `v` (ms), or 0 for none. */
double
pct(std::vector<double> v, double p)
{
	if (v.empty())
		return 0;
	std::sort(v.begin(), v.end());
	size_t i = (size_t)(p / 100.0 * (double)v.size() + 0.999999);
	return v[std::clamp<size_t>(i, 1, v.size()) - 1];
}

} // namespace

int
main(int argc, char *argv[])
{
	if (argc != 3 && argc != 4) {
		fprintf(stderr, "usage: felt_driver LABEL TRACE [INTERVAL]\n");
		return 2;
	}
	double interval = argc == 4 ? atof(argv[3]) : 0;
	std::ifstream in(argv[2]);
	std::vector<double> first, again, all;
	std::set<std::string> seen;
	int slow = 0, failed = 0, n = 0;
	double start = mono();
	for (std::string name; std::getline(in, name);) {
		if (name.empty())
			continue;
		if (interval > 0) {
			double at = start + interval * n;
			while (mono() < at)
				usleep((useconds_t)std::min(100000.0, (at - mono()) * 1e6 + 1));
		}
		addrinfo hints = {}, *res = nullptr;
		hints.ai_family = AF_UNSPEC;
		hints.ai_socktype = SOCK_STREAM;
		double t0 = mono();
		int r = getaddrinfo(name.c_str(), nullptr, &hints, &res);
		double ms = (mono() - t0) * 1000.0;
		if (res != nullptr)
			freeaddrinfo(res);
		/* No such name, or no address of either family: answers too. */
		if (r != 0 && r != EAI_NONAME && r != EAI_NODATA && failed++ < 3)
			fprintf(stderr, "%s: %s: %s\n", argv[1], name.c_str(), gai_strerror(r));
		slow += ms >= 300.0;
		all.push_back(ms);
		(seen.insert(name).second ? first : again).push_back(ms);
		if (interval > 0)
			printf("%s lookup %d at %.0f s: %.1f ms\n", argv[1], n + 1, t0 - start, ms);
		n++;
	}
	printf("%-12s %8.2f   %5zu %8.1f %8.1f   %6zu %8.2f %8.2f %8.2f   %6d %6d\n", argv[1],
	    pct(all, 50), first.size(), pct(first, 50), pct(first, 90), again.size(),
	    pct(again, 50), pct(again, 90), pct(again, 100), slow, failed);
	return 0;
}

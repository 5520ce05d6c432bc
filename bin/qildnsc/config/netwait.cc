/*
 * netwait.cc -- the wait for a default route before the configuration
 * fetch, and what counts as this machine (no route needed). The routing
 * table itself is read by the platform's part (posix/, win32/).
 */
#include <string.h>

#include <chrono>
#include <string>
#include <thread>

#include "common/qildnsc.h"
#include "config/netwait.h"
#include "odr.h"
#include "vtc_log.h"

bool
netwait_local(const char *hostport)
{
	AN(hostport);
	std::string host = hostport;
	if (!host.empty() && host[0] == '[')
		host = host.substr(1, host.find(']') == std::string::npos ? std::string::npos :
		    host.find(']') - 1);
	else if (host.find(':') == host.rfind(':') && host.find(':') != std::string::npos)
		host.resize(host.find(':'));
	struct in_addr a4;
	struct in6_addr a6;
	if (inet_pton(AF_INET, host.c_str(), &a4) == 1)
		return (ntohl(a4.s_addr) >> 24) == 127;
	if (inet_pton(AF_INET6, host.c_str(), &a6) == 1)
		return memcmp(&a6, &in6addr_loopback, sizeof a6) == 0;
	return host == "localhost";
}

void
netwait_for_route(const char *hostport, const char *proxy)
{
	using namespace std::chrono_literals;

	if (netwait_local(proxy != NULL ? proxy : hostport) || netwait_have_route())
		return;
	vtc_log(vl, VTCLOG_WARN,
	    "QILEC_00891: No default route yet: waiting up to %d s for the network before fetching "
	    "the configuration.", NETWAIT_SECONDS);
	auto end = std::chrono::steady_clock::now() + std::chrono::seconds(NETWAIT_SECONDS);
	while (std::chrono::steady_clock::now() < end) {
		std::this_thread::sleep_for(250ms);
		if (netwait_have_route()) {
			vtc_log(vl, VTCLOG_DEBUG2, "[INFO] A default route is there: fetching.");
			return;
		}
	}
	vtc_log(vl, VTCLOG_WARN,
	    "QILEC_00892: Still no default route after %d s: fetching all the same.",
	    NETWAIT_SECONDS);
}

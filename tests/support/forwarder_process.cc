/*
 * forwarder_process.cc -- starting the forwarder for integration tests.
 */
#include <filesystem>

#include <gtest/gtest.h>

#include "dns_client.h"
#include "forwarder_process.h"

namespace qiltest {

std::vector<std::string>
forwarder_argv(uint16_t port, const std::vector<std::string> &args)
{
	std::vector<std::string> argv = qildnsc_command();
	argv.insert(argv.end(), {"-w", "-l", "127.0.0.1", "-p", std::to_string(port)});
	argv.insert(argv.end(), args.begin(), args.end());
	return argv;
}

void
start_forwarder(const TmpDir &dir, const std::vector<std::string> &args,
                const std::vector<std::string> &env, std::chrono::milliseconds limit,
                std::unique_ptr<Process> *fwd, std::string *err, uint16_t *port)
{
	const std::string logpath = dir.file("qildnsc_stdout.txt");
	auto log = [&] { return read_file(logpath); };

	for (int attempt = 0; attempt < 5; attempt++) {
		uint16_t p = pick_udp_port();
		if (port != nullptr)
			*port = p;
		/* No ready line of an earlier run may be mistaken for this one. */
		std::filesystem::remove(logpath);
		/* Later entries win: the caller's buses replace the absent ones. */
		std::vector<std::string> full{
		    "DBUS_SESSION_BUS_ADDRESS=unix:path=" + dir.file("no-session-bus"),
		    "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + dir.file("no-system-bus")};
		full.insert(full.end(), env.begin(), env.end());
		*fwd = std::make_unique<Process>(forwarder_argv(p, args), dir.path(), full);
		/* "Listening on <address>:<port>", whatever address -l gave, at
		 * a line's end (Windows' lines end in CR LF). */
		std::string ready = ":" + std::to_string(p);
		auto listening = [&](const std::string &l) {
			size_t at = l.find("Listening on ");
			for (at = at == std::string::npos ? at : l.find(ready, at);
			     at != std::string::npos; at = l.find(ready, at + 1)) {
				char next = at + ready.size() < l.size() ? l[at + ready.size()] : '\0';
				if (next == '\n' || next == '\r')
					return true;
			}
			return false;
		};
		bool up = wait_until([&] { return listening(log()) || !(*fwd)->running(); },
		                     limit);
		if (up && (*fwd)->running())
			return;
		*err = (*fwd)->stderr_text();
		bool port_taken = log().find("QILEC_00691") != std::string::npos ||
		    log().find("QILEC_00820") != std::string::npos;
		fwd->reset();
		if (!port_taken) {
			FAIL() << "the forwarder did not start (" << (up ? "exited" : "no ready line")
			       << ")";
		}
	}
	FAIL() << "no free port for the forwarder after 5 attempts";
}

void
expect_no_sanitizer_report(const std::string &err)
{
	EXPECT_EQ(err.find("AddressSanitizer"), std::string::npos);
	EXPECT_EQ(err.find("runtime error"), std::string::npos);
}

size_t
count_of(const std::string &text, const std::string &what)
{
	size_t n = 0;
	for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
		n++;
	return n;
}

} // namespace qiltest

/*
 * forwarder_process.h -- the real qildnsc binary as the integration tests
 * run it: in a temporary directory, without diversion, on a UDP port of
 * 127.0.0.1 that was free a moment ago, up once its log says it listens.
 */
#ifndef QIL_TEST_FORWARDER_PROCESS_H
#define QIL_TEST_FORWARDER_PROCESS_H

#include <stdint.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "process.h"
#include "tmpdir.h"

namespace qiltest {

/* The command line: the binary, `-w -l 127.0.0.1 -p <port>`, then `args`. */
std::vector<std::string> forwarder_argv(uint16_t port, const std::vector<std::string> &args);

/*
 * Starts the forwarder in `dir` with forwarder_argv(<port>, args) and `env`
 * added to its environment, and waits at most `limit` for its ready line.
 * Unless `env` names them, the session and system buses are sockets that
 * do not exist: no test reaches the desktop it runs on.
 * A port taken meanwhile by someone else fails the bind; then another is
 * tried, five in all. On success `*fwd` runs on `*port` (when given);
 * otherwise the test has a fatal failure, `*fwd` is empty and `*err` holds
 * the standard error of the last attempt.
 */
void start_forwarder(const TmpDir &dir, const std::vector<std::string> &args,
                     const std::vector<std::string> &env, std::chrono::milliseconds limit,
                     std::unique_ptr<Process> *fwd, std::string *err,
                     uint16_t *port = nullptr);

/* The standard error `err` holds no sanitizer report. */
void expect_no_sanitizer_report(const std::string &err);

/* How often `what` occurs in `text`, overlaps included. */
size_t count_of(const std::string &text, const std::string &what);

} // namespace qiltest

#endif

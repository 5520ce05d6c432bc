/*
 * process.h -- starting the real qildnsc binary (or any program) from a
 * test: its own working directory, captured standard error, bounded waits,
 * and a destructor that kills and reaps whatever is still running.
 */
#ifndef QIL_TEST_PROCESS_H
#define QIL_TEST_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qiltest {

class Process {
public:
	/* Starts `argv[0]` with `argv`, in `cwd`, standard error captured to a
	 * file in `cwd`, with `env` added to the environment; standard output
	 * goes to the file `out` when given, else to /dev/null. */
	Process(const std::vector<std::string> &argv, const std::string &cwd,
	        const std::vector<std::string> &env = {}, const std::string &out = "");
	~Process();
	Process(const Process &) = delete;
	Process &operator=(const Process &) = delete;

	pid_t pid() const { return pid_; }
	/* Sends `sig` if the process is still running. */
	void signal(int sig);
	/* Waits at most `limit`; the raw wait status, or nullopt when it is
	 * still running. */
	std::optional<int> wait(std::chrono::milliseconds limit);
	bool running();
	std::string stderr_text() const;

private:
	pid_t pid_ = -1;
	std::optional<int> status_;
	std::string errpath_;
};

struct RunResult {
	int exit_code = -1;  /* -1 when it did not exit normally */
	int term_signal = 0; /* the signal that ended it, if any */
	std::string err;     /* standard error */
};

/*
 * The command that runs the forwarder: the Linux binary of this build, or,
 * with QILDNSC_TEST_EXE naming a qildnsc.exe, that program under Wine (the
 * same end-to-end tests then drive the Windows build).
 */
std::vector<std::string> qildnsc_command();
/* True when qildnsc_command() runs the Windows build. */
bool testing_windows_build();
/* A text the forwarder wrote (its log, its standard error); the Windows
 * build's text-mode line ends (CR LF) are read as LF. */
std::string read_log(const std::string &path);

/* Runs the qildnsc binary with `args` in `cwd` to its end (at most
 * `limit`, then it is killed and the test fails). */
RunResult run_qildnsc(const std::vector<std::string> &args, const std::string &cwd,
                      std::chrono::milliseconds limit = std::chrono::seconds(30),
                      const std::vector<std::string> &env = {});

/* Polls `cond` every 10 ms until it holds or `limit` passes. */
bool wait_until(const std::function<bool()> &cond,
                std::chrono::milliseconds limit = std::chrono::seconds(10));

/* Waits until the file at `path` contains `text`. */
bool wait_for_text(const std::string &path, const std::string &text,
                   std::chrono::milliseconds limit = std::chrono::seconds(10));

} // namespace qiltest

#endif

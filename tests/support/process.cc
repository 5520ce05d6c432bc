/*
 * process.cc -- child processes for integration tests.
 */
#include <fcntl.h>
#include <sys/prctl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

#include "process.h"
#include "tmpdir.h"

namespace qiltest {

static int errfile_seq;

Process::Process(const std::vector<std::string> &argv, const std::string &cwd,
                 const std::vector<std::string> &env, const std::string &out)
{
	errpath_ = cwd + "/stderr." + std::to_string(getpid()) + "." +
	    std::to_string(++errfile_seq) + ".txt";
	std::vector<char *> args;
	for (const auto &a : argv)
		args.push_back(const_cast<char *>(a.c_str()));
	args.push_back(nullptr);

	pid_ = fork();
	if (pid_ < 0)
		throw std::runtime_error("fork failed");
	if (pid_ == 0) {
		/* Never outlive the test, even when the test process dies. */
		(void)prctl(PR_SET_PDEATHSIG, SIGKILL);
		if (chdir(cwd.c_str()) != 0)
			_exit(127);
		int fd = open(errpath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		if (fd < 0 || dup2(fd, 2) < 0)
			_exit(127);
		close(fd);
		int nul = open("/dev/null", O_RDWR);
		if (nul >= 0) {
			dup2(nul, 0);
			dup2(nul, 1);
			close(nul);
		}
		if (!out.empty()) {
			fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
			if (fd < 0 || dup2(fd, 1) < 0)
				_exit(127);
			close(fd);
		}
		/* A runner under systemd would have its stderr echoed to ours. */
		unsetenv("JOURNAL_STREAM");
		for (const auto &e : env)
			putenv(const_cast<char *>(e.c_str()));
		/* Unblock what a test runner may have blocked. */
		sigset_t none;
		sigemptyset(&none);
		sigprocmask(SIG_SETMASK, &none, nullptr);
		execv(args[0], args.data());
		_exit(127);
	}
}

Process::~Process()
{
	if (!status_) {
		::kill(pid_, SIGKILL);
		int st;
		(void)waitpid(pid_, &st, 0);
	}
}

void
Process::signal(int sig)
{
	if (!status_)
		::kill(pid_, sig);
}

std::optional<int>
Process::wait(std::chrono::milliseconds limit)
{
	if (!status_) {
		(void)wait_until([&] {
			int st;
			if (waitpid(pid_, &st, WNOHANG) == pid_)
				status_ = st;
			return status_.has_value();
		}, limit);
	}
	return status_;
}

bool
Process::running()
{
	return !wait(std::chrono::milliseconds(0)).has_value();
}

std::string
Process::stderr_text() const
{
	return read_log(errpath_);
}

std::vector<std::string>
qildnsc_command()
{
	if (testing_windows_build())
		return {"/usr/bin/wine", getenv("QILDNSC_TEST_EXE")};
	return {QILDNSC_BINARY};
}

bool
testing_windows_build()
{
	const char *exe = getenv("QILDNSC_TEST_EXE");
	return exe != nullptr && *exe != '\0';
}

std::string
read_log(const std::string &path)
{
	std::string s = read_file(path);
	if (!testing_windows_build())
		return s;
	std::string out;
	out.reserve(s.size());
	for (size_t i = 0; i < s.size(); i++)
		if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n'))
			out += s[i];
	return out;
}

RunResult
run_qildnsc(const std::vector<std::string> &args, const std::string &cwd,
            std::chrono::milliseconds limit, const std::vector<std::string> &env)
{
	std::vector<std::string> argv = qildnsc_command();
	argv.insert(argv.end(), args.begin(), args.end());
	Process p(argv, cwd, env);
	RunResult r;
	auto st = p.wait(limit);
	r.err = p.stderr_text();
	if (!st) {
		r.err += "\n[test harness: still running after the limit; killed]\n";
		return r;
	}
	if (WIFEXITED(*st))
		r.exit_code = WEXITSTATUS(*st);
	else if (WIFSIGNALED(*st))
		r.term_signal = WTERMSIG(*st);
	return r;
}

bool
wait_until(const std::function<bool()> &cond, std::chrono::milliseconds limit)
{
	auto end = std::chrono::steady_clock::now() + limit;
	for (;;) {
		if (cond())
			return true;
		if (std::chrono::steady_clock::now() >= end)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
}

bool
wait_for_text(const std::string &path, const std::string &text,
              std::chrono::milliseconds limit)
{
	return wait_until([&] { return read_file(path).find(text) != std::string::npos; },
	    limit);
}

} // namespace qiltest

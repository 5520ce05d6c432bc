/*
 * fd.h -- a descriptor that closes itself.
 */
#ifndef QIL_TEST_FD_H
#define QIL_TEST_FD_H

#include <unistd.h>

namespace qiltest {

class Fd {
public:
	explicit Fd(int fd = -1) : fd_(fd) {}
	~Fd() { reset(); }
	Fd(const Fd &) = delete;
	Fd &operator=(const Fd &) = delete;
	int get() const { return fd_; }
	/* Closes it now. */
	void reset()
	{
		if (fd_ >= 0)
			(void)close(fd_);
		fd_ = -1;
	}

private:
	int fd_;
};

} // namespace qiltest

#endif

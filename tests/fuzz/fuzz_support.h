/*
 * fuzz_support.h -- what the forwarder's fuzz targets share: the process
 * log, silenced (FUZZ_LOG=1 shows it on standard error, to look at one
 * case), a private directory for the files a loader reads, and loopback
 * datagram sockets.
 */
#ifndef QIL_FUZZ_SUPPORT_H
#define QIL_FUZZ_SUPPORT_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "common/qildnsc.h"
#include "vtc_log.h"

namespace qilfuzz {

/* Opens the forwarder's log handle `vl` once. */
inline void
open_log()
{
	if (vl != nullptr)
		return;
	vl = vtc_logopen("fuzz", nullptr);
	vl->fp = getenv("FUZZ_LOG") != nullptr ? stderr : fopen("/dev/null", "w");
	if (vl->fp == nullptr)
		abort();
}

/* A directory of this process's own, made once (in memory where the
 * system has /dev/shm) and left for the system's clean-up. */
inline const std::string &
dir()
{
	static const std::string d = [] {
		char shm[] = "/dev/shm/qil_fuzz.XXXXXX";
		char tmp[] = "/tmp/qil_fuzz.XXXXXX";
		const char *t = mkdtemp(shm) != nullptr ? shm : mkdtemp(tmp);
		if (t == nullptr)
			abort();
		return std::string(t);
	}();
	return d;
}

/* Writes `len` bytes at `data` to `path`, as a new file: replacing one by
 * truncation makes ext4 flush it at every close, a thousand times slower. */
inline void
write_bytes(const std::string &path, const void *data, size_t len)
{
	(void)unlink(path.c_str());
	FILE *fp = fopen(path.c_str(), "wb");
	if (fp == nullptr || (len > 0 && fwrite(data, 1, len, fp) != len) || fclose(fp) != 0)
		abort();
}

/* A datagram socket bound to 127.0.0.1 on an ephemeral port. */
inline int
udp_bound(struct sockaddr_in *out)
{
	int fd = socket(AF_INET, SOCK_DGRAM, 0);
	struct sockaddr_in sin = {};
	sin.sin_family = AF_INET;
	sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t len = sizeof sin;
	if (fd < 0 || bind(fd, (struct sockaddr *)&sin, sizeof sin) != 0 ||
	    getsockname(fd, (struct sockaddr *)&sin, &len) != 0)
		abort();
	if (out != nullptr)
		*out = sin;
	return fd;
}

} // namespace qilfuzz

#endif

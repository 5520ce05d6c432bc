/*
 * static_nodes_fuzz.cc -- libFuzzer target: arbitrary bytes as the static
 * nodes file, through its loader, then the proxy address of every node
 * (up to 64) as the fallback fetch would form it.
 *
 * Whatever the bytes: the loader returns 0 or -1, a node is refused or
 * gives a proxy address ending in the node port (or cut at 127
 * characters), and nothing leaks from one load to the next.
 */
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "config/config.h"
#include "fuzz_support.h"

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	/* The loader reads its fixed name from the working directory; the
	 * fuzzer's own relative paths need ours back afterwards. */
	static const int home = [] {
		qilfuzz::open_log();
		return open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	}();
	if (home < 0)
		abort();
	qilfuzz::write_bytes(qilfuzz::dir() + "/" STATIC_NODES_FILE, data, size);

	if (chdir(qilfuzz::dir().c_str()) != 0)
		abort();
	int r = load_static_nodes();
	if (fchdir(home) != 0)
		abort();
	size_t n = static_node_count();
	if ((r != 0 && r != -1) || (r != 0 && n != 0))
		abort();
	for (size_t i = 0; i < n && i < 64; i++) {
		char proxy[128];
		memset(proxy, 'x', sizeof proxy);
		if (static_node_proxy(i, proxy, sizeof proxy) != 0)
			continue;
		size_t len = strnlen(proxy, sizeof proxy);
		if (len == sizeof proxy)
			abort();
		if (len < sizeof proxy - 1 && (len < 6 || strcmp(proxy + len - 6, ":18080") != 0))
			abort();
	}
	return 0;
}

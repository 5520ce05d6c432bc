/*
 * page_server.cc -- the HTTP server of the query page, on libmicrohttpd's
 * own thread: a small, well-kept server library that does the parsing a
 * stranger's request needs, bounded (connections, time-outs) and
 * event-driven, so that it wakes only when a browser asks.
 *
 * Every request passes page_check() first; the answers carry a strict
 * Content-Security-Policy, no CORS header, and are never cached.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <microhttpd.h>

#include "common/qildnsc.h"
#include "odr_file.h"
#include "page/page_access.h"
#include "page/page_assets.h"
#include "page/page_json.h"
#include "page/page_server.h"
#include "vtc_limit.h"
#include "vtc_log.h"

/* Every client is 127.0.0.1, so the limit per address guards nothing
 * from another local program: what keeps the page open to its browser is
 * a total that idle sockets take long to fill and an idle time short
 * enough (longer than the script's poll) that they are soon closed. */
#define PAGE_CONNECTIONS 256
#define PAGE_CONNECTIONS_PER_IP 192
#define PAGE_TIMEOUT_S 4
#define PAGE_QUERIES_MAX 2000

struct page_server {
	unsigned magic;
#define PAGE_SERVER_MAGIC 0x9a6e3c15
	struct MHD_Daemon *mhd;
	uint16_t port;
	char token[33];
	struct vtc_limit lim_refused;
};

static struct page_server *page;

static const char page_csp[] = "default-src 'none'; script-src 'self'; style-src 'self'; "
    "connect-src 'self'; img-src 'self'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

static enum MHD_Result
page_send(struct MHD_Connection *c, unsigned status, const std::string &body, const char *type)
{
	struct MHD_Response *r = MHD_create_response_from_buffer(body.size(),
	    const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
	if (r == NULL)
		return MHD_NO;
	(void)MHD_add_response_header(r, "Content-Type", type);
	(void)MHD_add_response_header(r, "Content-Security-Policy", page_csp);
	(void)MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
	(void)MHD_add_response_header(r, "X-Frame-Options", "DENY");
	(void)MHD_add_response_header(r, "Referrer-Policy", "no-referrer");
	(void)MHD_add_response_header(r, "Cache-Control", "no-store");
	enum MHD_Result ret = MHD_queue_response(c, status, r);
	MHD_destroy_response(r);
	return ret;
}

/* The page with its token in its links. */
static std::string
page_html_with_token(void)
{
	std::string s = page_html;
	for (size_t at; (at = s.find("@TOKEN@")) != std::string::npos;)
		s.replace(at, 7, page->token);
	return s;
}

static uint64_t
page_arg_u64(struct MHD_Connection *c, const char *name, uint64_t dflt, uint64_t max)
{
	const char *v = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, name);
	if (v == NULL || *v == '\0')
		return dflt;
	char *end;
	unsigned long long n = strtoull(v, &end, 10);
	return *end == '\0' && n <= max ? (uint64_t)n : dflt;
}

static enum MHD_Result
page_request(void *cls, struct MHD_Connection *c, const char *url, const char *method,
             const char *version, const char *upload, size_t *upload_size, void **state)
{
	(void)cls;
	(void)version;
	(void)upload;
	CHECK_OBJ_NOTNULL(page, PAGE_SERVER_MAGIC);
	/* Called again for a body, which nothing here takes: the first call
	 * answers. */
	if (*state == NULL) {
		*state = page;
		if (*upload_size == 0)
			goto answer;
		return MHD_YES;
	}
	*upload_size = 0;
answer:
	/* Every browser asks for it, without the token: nothing to refuse,
	 * nothing to warn of. */
	if (strcmp(url, "/favicon.ico") == 0)
		return page_send(c, 204, "", "image/x-icon");
	const union MHD_ConnectionInfo *ci =
	    MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
	enum page_access a = page_check(ci != NULL ? ci->client_addr : NULL, method,
	    MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Host"),
	    MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "token"), page->port,
	    page->token);
	if (a != PAGE_OK) {
		vtc_limit_log(&page->lim_refused, vl, "QILEC_00963: Query page request refused (%s).",
		    a == PAGE_BAD_HOST ? "another Host" : a == PAGE_BAD_TOKEN ? "no token or another" :
		    a == PAGE_BAD_METHOD ? "a method that would change something" : "not local");
		return page_send(c, page_status(a), "refused\n", "text/plain; charset=utf-8");
	}
	std::string path = url;
	if (path == "/" || path == "/index.html")
		return page_send(c, 200, page_html_with_token(), "text/html; charset=utf-8");
	if (path == "/page.css")
		return page_send(c, 200, page_css, "text/css; charset=utf-8");
	if (path == "/page.js")
		return page_send(c, 200, page_js, "text/javascript; charset=utf-8");
	if (path == "/api/queries")
		return page_send(c, 200, page_queries_json(page_arg_u64(c, "since", 0, UINT64_MAX),
		    (size_t)page_arg_u64(c, "max", PAGE_QUERIES_MAX, PAGE_QUERIES_MAX)),
		    "application/json");
	if (path == "/api/stats")
		return page_send(c, 200, page_stats_json((int)page_arg_u64(c, "seconds", 3600, 3600)),
		    "application/json");
	return page_send(c, 404, "not found\n", "text/plain; charset=utf-8");
}

/* Connections from off the loopback are closed before a byte is read. */
static enum MHD_Result
page_accept(void *cls, const struct sockaddr *addr, socklen_t len)
{
	(void)cls;
	(void)len;
	return page_check(addr, "GET", "", "", 0, "") == PAGE_NOT_LOOPBACK ? MHD_NO : MHD_YES;
}

static void
page_mhd_log(void *cls, const char *fmt, va_list ap)
{
	(void)cls;
	char line[256];
	(void)vsnprintf(line, sizeof line, fmt, ap);
	line[strcspn(line, "\n")] = '\0';
	vtc_limit_log(&page->lim_refused, vl, "QILEC_00964: Query page: %s", line);
}

/* The token of an earlier start, from PAGE_TOKEN_FILE, when the file is
 * ours, no one else's to read, and holds one well-formed: the service
 * restarts at every resume, and a bookmark must outlive that. A token
 * from a file another could have written is one they know. */
static bool
page_read_token(char token[33])
{
	int fd = ODR_file_open_read(PAGE_TOKEN_FILE);
	if (fd < 0)
		return false;
	struct stat st;
	char buf[256];
	ssize_t n = -1;
	if (fstat(fd, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 077) == 0)
		n = read(fd, buf, sizeof buf - 1);
	(void)close(fd);
	if (n <= 0)
		return false;
	buf[n] = '\0';
	const char *t = strstr(buf, "?token=");
	if (t == NULL)
		return false;
	t += 7;
	for (size_t i = 0; i < 32; i++)
		if (!((t[i] >= '0' && t[i] <= '9') || (t[i] >= 'a' && t[i] <= 'f')))
			return false;
	if (t[32] != '\n')
		return false;
	memcpy(token, t, 32);
	token[32] = '\0';
	return true;
}

/* The address with the token, in a file only its owner can read, written
 * when it says something else (another port, no file); false (logged) on
 * failure. */
static bool
page_write_token(const std::string &url)
{
	std::string text = url + "\n";
	char old[256];
	ssize_t n = ODR_file_read(PAGE_TOKEN_FILE, old, sizeof old);
	if (n == (ssize_t)text.size() && memcmp(old, text.data(), text.size()) == 0)
		return true;
	if (ODR_file_replace(PAGE_TOKEN_FILE, text.data(), text.size(), 0600) == 0)
		return true;
	vtc_log(vl, VTCLOG_WARN, "QILEC_00962: Cannot write %s: %s; the page's address is "
	    "on standard error alone.", PAGE_TOKEN_FILE, strerror(errno));
	return false;
}

int
page_start(uint16_t port)
{
	AZ(page);
	page = new page_server();
	page->magic = PAGE_SERVER_MAGIC;
	page->port = port;
	page->lim_refused = VTC_LIMIT_INIT("QILEC_00963", VTCLOG_WARN);
	/* Made once: an earlier start's is kept. */
	if (!page_read_token(page->token)) {
		uint8_t raw[16];
		if (getrandom(raw, sizeof raw, 0) != (ssize_t)sizeof raw) {
			vtc_log(vl, VTCLOG_ERROR, "QILEC_00961: Query page not started: no random "
			    "token (%s).", strerror(errno));
			return -1;
		}
		for (size_t i = 0; i < sizeof raw; i++)
			(void)snprintf(page->token + 2 * i, 3, "%02x", raw[i]);
	}

	struct sockaddr_in sin = {};
	sin.sin_family = AF_INET;
	sin.sin_port = htons(port);
	sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	/* The logger first, so that no line of the library's goes elsewhere. */
	page->mhd = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL |
	    MHD_USE_ERROR_LOG, port, page_accept, NULL, page_request, NULL,
	    MHD_OPTION_EXTERNAL_LOGGER, page_mhd_log, NULL,
	    MHD_OPTION_SOCK_ADDR, &sin,
	    MHD_OPTION_CONNECTION_LIMIT, (unsigned)PAGE_CONNECTIONS,
	    MHD_OPTION_PER_IP_CONNECTION_LIMIT, (unsigned)PAGE_CONNECTIONS_PER_IP,
	    MHD_OPTION_CONNECTION_TIMEOUT, (unsigned)PAGE_TIMEOUT_S,
	    MHD_OPTION_CONNECTION_MEMORY_LIMIT, (size_t)(64 * 1024),
	    MHD_OPTION_END);
	if (page->mhd == NULL) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00961: Query page not started: cannot serve on "
		    "127.0.0.1:%u (the line before says why); DNS is served all the same.",
		    (unsigned)port);
		return -1;
	}
	std::string url = "http://127.0.0.1:" + std::to_string(port) + "/?token=" + page->token;
	(void)page_write_token(url);
	vtc_log(vl, VTCLOG_INFO, "QILEC_00965: Query page on http://127.0.0.1:%u/ (its address "
	    "with the token is in %s).", (unsigned)port, PAGE_TOKEN_FILE);
	/* On a terminal only: standard error of a service is the journal,
	 * which more people read than the token is for. */
	if (isatty(STDERR_FILENO))
		(void)fprintf(stderr, "qildnsc: query page: %s\n", url.c_str());
	return 0;
}

void
page_stop(void)
{
	if (page == NULL || page->mhd == NULL)
		return;
	CHECK_OBJ_NOTNULL(page, PAGE_SERVER_MAGIC);
	MHD_stop_daemon(page->mhd);
	page->mhd = NULL;
}

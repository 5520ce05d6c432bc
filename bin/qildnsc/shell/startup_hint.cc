/*
 * startup_hint.cc -- the hints added to a failed start-up's line on
 * standard error. The log's own lines stay as they are; what they leave
 * to guess (the server that was tried, an error number's meaning, why a
 * file cannot be read) is worked out here, after the failure, from the
 * log, the environment and the configuration record.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

#include "common/qildnsc.h"
#include "config/config.h"
#include "shell/startup_hint.h"
#include "vhttp.h"
#include "vss.h"

/* The rest of the last line of `log` that holds `marker`, from just after
 * it; empty when there is none. */
static std::string_view
hint_after(std::string_view log, std::string_view marker)
{
	size_t at = log.rfind(marker);
	if (at == std::string_view::npos)
		return {};
	std::string_view rest = log.substr(at + marker.size());
	return rest.substr(0, rest.find('\n'));
}

/* The text of a socket error number; Winsock's are not the C library's. */
static std::string
hint_socket_error(int err)
{
#ifdef _WIN32
	return "error " + std::to_string(err);
#else
	return strerror(err);
#endif
}

/* "configuration server H (...)": the server as the fetch used it. */
static std::string
hint_server(void)
{
	const char *env = getenv("QILDNSC_CONFIG_SERVER");
	return std::string("configuration server ") + config_server() +
	    (env != NULL && *env != '\0' ? " (from QILDNSC_CONFIG_SERVER)" : " (built in)");
}

/* How to name another server, or do without one. */
static const char hint_another[] = "set QILDNSC_CONFIG_SERVER=host[:port] to use another, "
    "file:PATH to read the document from a file, or none to use -d's servers alone.";

/* Why the fetch failed, as the lines before the failure tell. */
static std::string
hint_fetch_why(std::string_view log)
{
	int kind = 0, err = 0;
	std::string connect(hint_after(log, "Failed to communicate with server for GET: "));

	if (dnsc_conf.http_proxy != NULL)
		return std::string("the proxy ") + dnsc_conf.http_proxy + " (-X) did not get through";
	if (log.find("QILEC_00792") != std::string_view::npos ||
	    log.find("QILEC_00560") != std::string_view::npos) {
		char secs[32];
		(void)snprintf(secs, sizeof secs, "%.0f", VHTTP_DEADLINE);
		return std::string("no answer within ") + secs + " s";
	}
	if (log.find("QILEC_00570") != std::string_view::npos ||
	    log.find("QILEC_00884") != std::string_view::npos)
		return "its answer is too large for a document";
	if (sscanf(connect.c_str(), "%d %d", &kind, &err) == 2 && kind == GETADDRINFO_ERROR)
		return "the name does not resolve";
	if (err != 0)
		return hint_socket_error(err);
	return "not reached";
}

static std::string
hint_fetch(std::string_view log)
{
	return hint_server() + ": " + hint_fetch_why(log) + ". Every start needs its " CONFIG_PATH
	    ", with -d too; " + hint_another;
}

/* A document refused: the HTTP status when it was no 200, else its form. */
static std::string
hint_document(std::string_view log)
{
	std::string code(hint_after(log, "http[ 1] | "));
	std::string reason(hint_after(log, "http[ 2] | "));
	if (!code.empty() && code != "200")
		return hint_server() + ": HTTP " + code + " " + reason +
		    " instead of the document " CONFIG_PATH "; " + hint_another;
	return "the document must be a JSON object such as "
	       "{\"cc\": \"US\", \"dns_servers\": [\"192.0.2.10\"]}.";
}

/* Why the list file `path` cannot be read, as the system puts it. */
static std::string
hint_list(const char *what, const char *path)
{
	struct stat st;
	int err = 0;

	if (path == NULL)
		return {};
	if (stat(path, &st) != 0) {
		err = errno;
	} else if (S_ISDIR(st.st_mode)) {
		err = EISDIR;
	} else if (FILE *fp = fopen(path, "rb"); fp == NULL) {
		err = errno;
	} else {
		(void)fclose(fp);
	}
	return std::string("the ") + what + " " + path + ": " +
	    (err != 0 ? strerror(err) : "it could not be read") + ".";
}

/* What to do about the socket layer's "error: N <its text>" when a
 * listening socket failed (`listening`): the line names the error, the
 * hint the way out. */
static std::string
hint_error_number(std::string_view error, bool listening)
{
#ifdef _WIN32
	(void)error;
	(void)listening;
	return {};
#else
	size_t at = error.find("error: ");
	if (!listening || at == std::string_view::npos)
		return {};
	int err = atoi(std::string(error.substr(at + 7, 8)).c_str());
	std::string said = "error: " + std::to_string(err) + " " + strerror(err);
	if (error.find(said) == std::string_view::npos)
		return {};
	std::string where = std::string(dnsc_conf.listen_addr) + ":" + dnsc_conf.listen_port;
	if (err == EADDRINUSE)
		return "another program uses " + where + "; choose another with -l or -p.";
	if (err == EACCES)
		return "a port below 1024 takes root or CAP_NET_BIND_SERVICE; choose another "
		       "with -p, such as -p 5300.";
	if (err == EADDRNOTAVAIL)
		return where + " is no address of this machine; choose another with -l.";
	return {};
#endif
}

std::vector<std::string>
startup_hints(std::string_view error, std::string_view log)
{
	std::vector<std::string> hints;
	auto is = [&](std::string_view code) { return error.substr(0, code.size()) == code; };

	if (error.find("fetch_qildnsc() failed.") != std::string_view::npos)
		hints.push_back(hint_fetch(log));
	else if (is("QILEC_0075"))
		hints.push_back(hint_document(log));
	else if (is("QILEC_00760"))
		hints.push_back("-p takes a port number from 1 to 65535 or a service name, such as -p 5300.");
	else if (is("QILEC_00685"))
		hints.push_back(hint_list("blocklist", dnsc_conf.blacklist_path));
	else if (is("QILEC_00687"))
		hints.push_back(hint_list("CRoute file", dnsc_conf.croute_path));
	else if (error.find("Failed to open the WinDivert device") != std::string_view::npos &&
	    log.find("SO_MARK error: 1 ") != std::string_view::npos)
		/* The mark was refused (EPERM) before the queue was: no privilege. */
		hints.push_back("diversion needs root, or the capabilities CAP_NET_ADMIN and "
		    "CAP_NET_RAW (as the qildnsc service has them); -w turns diversion off, to "
		    "serve on -l and -p instead.");
	std::string number = hint_error_number(error, is("QILEC_00691") || is("QILEC_00820"));
	if (!number.empty())
		hints.push_back(number);
	return hints;
}

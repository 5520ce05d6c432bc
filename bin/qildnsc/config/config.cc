/*
 * config.cc -- fetching and applying the configuration document.
 *
 * The server is the build's default host, or QILDNSC_CONFIG_SERVER from
 * the environment, which may also name a local file instead ("file:PATH")
 * or no document at all ("none"). Runs on the start-up thread before any
 * other thread.
 */
#include <errno.h>
#include <jansson.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "config/config.h"
#include "config/netwait.h"
#include "config/saved.h"
#include "odr.h"
#include "odr_file.h"
#include "odr_random.h"
#include "common/qildnsc.h"
#include "vhttp.h"
#include "vsb.h"
#include "vtc_log.h"

/* External, so that the compiler keeps the pointers into the parsed
 * documents (and the leak checker sees them) although nothing here reads
 * some of them again. */
struct config_state config_state = {CONFIG_STATE_MAGIC, NULL, NULL, NULL, NULL, NULL, 0, 0};

const char *
config_server(void)
{
	const char *env = getenv("QILDNSC_CONFIG_SERVER");
	return env != NULL && *env != '\0' ? env : QILDNSC_CONFIG_SERVER_DEFAULT;
}

enum config_kind
config_kind(const char **path)
{
	const char *s = config_server();
	if (path != NULL)
		*path = NULL;
	if (strcmp(s, CONFIG_NONE) == 0)
		return CONFIG_KIND_NONE;
	if (strncmp(s, CONFIG_FILE_PREFIX, strlen(CONFIG_FILE_PREFIX)) != 0)
		return CONFIG_KIND_SERVER;
	if (path != NULL)
		*path = s + strlen(CONFIG_FILE_PREFIX);
	return CONFIG_KIND_FILE;
}

int
load_static_nodes(void)
{
	json_error_t error;

	CHECK_OBJ_NOTNULL(&config_state, CONFIG_STATE_MAGIC);
	config_state.static_nodes = NULL;
	if (config_state.static_nodes_doc != NULL)
		json_decref(config_state.static_nodes_doc);
	json_t *root = json_load_file(STATIC_NODES_FILE, 0, &error);
	config_state.static_nodes_doc = root;
	if (root == NULL && access(STATIC_NODES_FILE, F_OK) != 0) {
		/* The file is optional: its absence is the log's to keep, not
		 * a person's to act on. */
		vtc_log_quiet(vl, VTCLOG_ERROR,
		    "QILEC_XXXXX: error while parsing JSON format: on line %d: %s", error.line,
		    error.text);
		return -1;
	}
	if (root == NULL) {
		vtc_log(vl, VTCLOG_ERROR,
		    "QILEC_XXXXX: error while parsing JSON format: on line %d: %s", error.line,
		    error.text);
		return -1;
	}
	if (!json_is_object(root)) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_XXXXX: No object type.");
		return -1;
	}
	config_state.static_nodes = json_object_get(root, "staticnodes");
	if (config_state.static_nodes == NULL) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_XXXXX: No 'staticnodes' object found.");
		return -1;
	}
	if (!json_is_array(config_state.static_nodes)) {
		CHECK_OBJ_NOTNULL(&config_state, CONFIG_STATE_MAGIC);
	config_state.static_nodes = NULL;
		vtc_log(vl, VTCLOG_ERROR, "QILEC_XXXXX: Wrong 'staticnodes' type.");
		return -1;
	}
	return 0;
}

size_t
static_node_count(void)
{
	CHECK_OBJ_NOTNULL(&config_state, CONFIG_STATE_MAGIC);
	json_t *nodes = config_state.static_nodes;
	return nodes != NULL ? json_array_size(nodes) : 0;
}

int
static_node_proxy(size_t index, char *proxy, size_t cap)
{
	json_t *node = json_array_get(config_state.static_nodes, index);
	json_t *ip = json_is_object(node) ? json_object_get(node, "ip") : NULL;
	if (!json_is_string(ip)) {
		vtc_log(vl, VTCLOG_WARN,
		    "[WARN] Static node %zu is not an object with an \"ip\" string.", index);
		return -1;
	}
	(void)snprintf(proxy, cap, "%s:%d", json_string_value(ip), STATIC_NODE_PORT);
	return 0;
}

/* One GET of the document, through `proxy` when it is set. */
static int
config_get(const std::string &connect, const std::string &hdr, char *buf,
           size_t cap, size_t *len, const char *proxy)
{
	*len = cap;
	return VHTTP_get(vl, connect.c_str(), hdr.c_str(), CONFIG_PATH, buf, len, proxy);
}

int
fetch_qildnsc(char *buf, size_t cap, size_t *len)
{
	const std::string host = config_server();
	/* The connect address needs a port; the Host header takes the text
	 * as given. */
	const std::string connect = host.find(':') == std::string::npos ? host + ":80" : host;
	const std::string hdr = "Host: " + host + "\r\n";
	bool ok = false;

	if (dnsc_conf.http_proxy != NULL)
		vtc_log(vl, VTCLOG_INFO, "Use the proxy %s to fetch.", dnsc_conf.http_proxy);
	ok = config_get(connect, hdr, buf, cap, len, dnsc_conf.http_proxy) == 0;

	size_t nodes = static_node_count();
	if (!ok && nodes == 0) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00703: Failed to communicate with quillet server.");
		return -1;
	}
	for (int attempt = 0; !ok && attempt < STATIC_NODE_ATTEMPTS; attempt++) {
		uint32_t pick = ODR_random(vl) % (uint32_t)nodes;
		char proxy[128];
		if (static_node_proxy(pick, proxy, sizeof proxy) != 0)
			continue;
		vtc_log(vl, VTCLOG_INFO, "Use the proxy %s to fetch.", proxy);
		ok = config_get(connect, hdr, buf, cap, len, proxy) == 0;
	}
	if (!ok) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00703: Failed to communicate with quillet server.");
		return -1;
	}
	if (*len >= cap) {
		vtc_log(vl, VTCLOG_ERROR,
		    "QILEC_00884: The configuration of %zu bytes leaves no room in %zu bytes.",
		    *len, cap);
		return -1;
	}
	buf[*len] = '\0';
	return 0;
}

/* The longest scope of an IPv6 entry: an interface's name or number. */
#define CONFIG_SCOPE_MAX 15

/* True for an IPv6 literal, with a scope ("fe80::1%eth0") or not, which
 * takes no port either (its colons are its own). */
static bool
config_entry_ipv6(const char *e)
{
	char text[INET6_ADDRSTRLEN];
	struct in6_addr a;
	size_t len = strcspn(e, "%");
	if (len >= sizeof text)
		return false;
	if (e[len] == '%') {
		size_t scope = strspn(e + len + 1,
		    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._");
		if (scope == 0 || scope > CONFIG_SCOPE_MAX || e[len + 1 + scope] != '\0')
			return false;
	}
	memcpy(text, e, len);
	text[len] = '\0';
	return inet_pton(AF_INET6, text, &a) == 1;
}

/*
 * An entry of "dns_servers" is an IPv6 literal, or one host name or IPv4
 * address (letters, digits, hyphens and dots) with an optional ":port" of
 * digits. Anything
 * else could smuggle more into the comma-separated list: a comma adds a
 * server (a plain one, without the marker), a line end forges log lines.
 */
static bool
config_entry_ok(const char *e)
{
	if (config_entry_ipv6(e))
		return true;
	size_t host = strspn(e, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-.");
	if (host == 0 || host > CONFIG_HOST_MAX)
		return false;
	if (e[host] == '\0')
		return true;
	size_t port = strspn(e + host + 1, "0123456789");
	return e[host] == ':' && port > 0 && port <= 5 && e[host + 1 + port] == '\0';
}

/* The entry for the log: at most 64 bytes, anything unprintable, the
 * quote and the backslash escaped. */
static std::string
config_entry_text(const char *e)
{
	std::string out;
	size_t i;
	for (i = 0; e[i] != '\0' && i < 64; i++) {
		unsigned char c = (unsigned char)e[i];
		char hex[8];
		if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\') {
			(void)snprintf(hex, sizeof hex, "\\x%02x", c);
			out += hex;
		} else {
			out += (char)c;
		}
	}
	if (e[i] != '\0')
		out += "...";
	return out;
}

/* Builds "E<server>:10015,..." from the "dns_servers" array, leaving out
 * (with a warning) the entries that are no host; -1 (logged) when an
 * element is not a string. */
static int
config_server_list(json_t *servers, char **out)
{
	struct vsb *vsb = vsb_new(NULL, NULL, 0, VSB_AUTOEXTEND);
	AN(vsb);
	size_t n = json_array_size(servers);
	const char *sep = "";
	config_state.servers_refused = 0;
	for (size_t i = 0; i < n; i++) {
		json_t *s = json_array_get(servers, i);
		if (!json_is_string(s)) {
			vtc_log(vl, VTCLOG_ERROR, "QILEC_00756: It's not a string type for entry");
			vsb_delete(vsb);
			return -1;
		}
		const char *e = json_string_value(s);
		/* A string holding NUL bytes would be cut short by the list. */
		if (!config_entry_ok(e) || strlen(e) != json_string_length(s)) {
			vtc_log(vl, VTCLOG_WARN,
			    "QILEC_00791: dns_servers entry \"%s\" refused: not one host with an "
			    "optional port.", config_entry_text(e).c_str());
			config_state.servers_refused++;
			continue;
		}
		if (config_entry_ipv6(e))
			(void)vsb_printf(vsb, "%sE[%s]:10015", sep, e);
		else
			(void)vsb_printf(vsb, "%sE%s:10015", sep, e);
		sep = ",";
	}
	vsb_finish(vsb);
	*out = ODR_strndup(vsb_data(vsb), (size_t)vsb_len(vsb));
	AN(*out);
	vsb_delete(vsb);
	return 0;
}

int
config_parse(const char *text, json_t **doc, const char **cc, char **list)
{
	json_error_t error;

	json_t *root = *doc = json_loads(text, 0, &error);
	if (root == NULL) {
		vtc_log(vl, VTCLOG_ERROR,
		    "QILEC_00753: The result isn't object. (not JSON: on line %d: %s)", error.line,
		    error.text);
		return -1;
	}
	if (!json_is_object(root)) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00753: The result isn't object.");
		return -1;
	}
	json_t *c = json_object_get(root, "cc");
	if (!json_is_string(c)) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00754: No cc object found.");
		return -1;
	}
	json_t *servers = json_object_get(root, "dns_servers");
	if (!json_is_array(servers)) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00755: dns_servers is NULL or not array");
		return -1;
	}
	if (config_server_list(servers, list) != 0)
		return -1;
	*cc = json_string_value(c);
	return 0;
}

/* The document `buf` (`len` bytes) is what this start fetched: kept in
 * config_state, to be saved once the start has worked. */
static void
config_fetched(const char *buf, size_t len)
{
	free(config_state.fetched);
	config_state.fetched = static_cast<char *>(malloc(len + 1));
	AN(config_state.fetched);
	memcpy(config_state.fetched, buf, len + 1);
	config_state.fetched_len = len;
}

/* The document from its server, or the last one it gave; 0 with `*cc`
 * and `*list` set as config_parse() sets them, or -1 (logged). */
static int
config_from_server(char *buf, size_t cap, const char **cc, char **list)
{
	size_t len;

	netwait_for_route(config_server(), dnsc_conf.http_proxy);
	bool fetched = fetch_qildnsc(buf, cap, &len) == 0;
	if (!fetched)
		vtc_log(vl, VTCLOG_ERROR, "QILEC_XXXXX: fetch_qildnsc() failed.");
	if (fetched && config_parse(buf, &config_state.config_doc, cc, list) == 0) {
		config_fetched(buf, len);
		return 0;
	}
	/* No good document from the server: the last one it gave. */
	if (config_state.config_doc != NULL)
		json_decref(config_state.config_doc);
	config_state.config_doc = NULL;
	if (saved_config_load(buf, cap, &len) != 0 ||
	    config_parse(buf, &config_state.config_doc, cc, list) != 0)
		return -1;
	return 0;
}

/* The document of the file `path` (QILDNSC_CONFIG_SERVER=file:PATH), read
 * by the rules of a fetched one; nothing is fetched, nor saved. 0 with
 * `*cc` and `*list` set, or -1 (logged). */
static int
config_from_file(const char *path, char *buf, size_t cap, const char **cc, char **list)
{
	/* A file that fills the buffer leaves no room for the terminator:
	 * refused, as a fetched body of that size is. */
	ssize_t n = ODR_file_read(path, buf, cap);
	if (n < 0) {
		vtc_log(vl, VTCLOG_ERROR,
		    "QILEC_01108: Cannot read the configuration document %s (QILDNSC_CONFIG_SERVER="
		    CONFIG_FILE_PREFIX "%s): %s", path, path, ODR_file_strerror(errno));
		return -1;
	}
	if ((size_t)n >= cap) {
		vtc_log(vl, VTCLOG_ERROR,
		    "QILEC_00884: The configuration of %zu bytes leaves no room in %zu bytes.",
		    (size_t)n, cap);
		return -1;
	}
	buf[n] = '\0';
	vtc_log(vl, VTCLOG_INFO, "QILEC_01109: The configuration document is the file %s "
	    "(QILDNSC_CONFIG_SERVER); nothing is fetched.", path);
	return config_parse(buf, &config_state.config_doc, cc, list);
}

/* QILDNSC_CONFIG_SERVER=none: no document; -d is the whole server list,
 * and no country profile applies. 0, or -1 (logged) without -d. */
static int
config_none(void)
{
	if (!dnsc_conf.dns_servers_cmdline) {
		vtc_log(vl, VTCLOG_ERROR,
		    "QILEC_01110: QILDNSC_CONFIG_SERVER=none fetches no configuration document, so "
		    "-d must give the servers (such as -d @network, this machine's resolvers).");
		return -1;
	}
	vtc_log(vl, VTCLOG_INFO,
	    "QILEC_01111: QILDNSC_CONFIG_SERVER=none: no configuration document; the servers "
	    "are those of -d, and no country profile applies.");
	return 0;
}

int
init_cc(void)
{
	char buf[CONFIG_BUFSIZE];
	const char *cc, *path;
	char *list;

	CHECK_OBJ_NOTNULL(&config_state, CONFIG_STATE_MAGIC);
	switch (config_kind(&path)) {
	case CONFIG_KIND_NONE:
		return config_none();
	case CONFIG_KIND_FILE:
		if (config_from_file(path, buf, sizeof buf, &cc, &list) != 0)
			return -1;
		break;
	case CONFIG_KIND_SERVER:
		if (config_from_server(buf, sizeof buf, &cc, &list) != 0)
			return -1;
		break;
	default:
		WRONG("config_kind");
	}
	if (dnsc_conf.dns_servers == NULL)
		dnsc_conf.dns_servers = list;
	else
		free(list);

	config_state.country_code = strdup(cc);
	AN(config_state.country_code);
	if (dnsc_conf.dns_servers_cmdline == 0 &&
	    strncmp(config_state.country_code, "CN", 2) == 0) {
		conf_set(&dnsc_conf.blacklist_path, "blacklist_CN.txt");
		conf_set(&dnsc_conf.croute_path, "route_CN.txt");
		vtc_log(vl, VTCLOG_DEBUG2, "[INFO] Uses blacklist and CRoute for China");
	}
	vtc_log(vl, VTCLOG_DEBUG2, "[INFO] Your default country code is %s.",
	    config_state.country_code);
	return 0;
}

void
config_keep(void)
{
	CHECK_OBJ_NOTNULL(&config_state, CONFIG_STATE_MAGIC);
	if (config_state.fetched == NULL)
		return;
	saved_config_store(config_state.fetched, config_state.fetched_len);
	free(config_state.fetched);
	config_state.fetched = NULL;
}

/*
 * config.h -- the configuration document fetched at every start: the
 * country code and the encrypted upstream servers, directly, through the
 * -X proxy, or through the static proxy nodes.
 *
 * Start-up thread only; what it sets is read-only afterwards.
 */
#ifndef QILDNSC_CONFIG_H
#define QILDNSC_CONFIG_H

#include <jansson.h>
#include <stddef.h>
#include <stdint.h>

/* The build's configuration server (CMake's QILDNSC_CONFIG_SERVER). */
#ifndef QILDNSC_CONFIG_SERVER_DEFAULT
#define QILDNSC_CONFIG_SERVER_DEFAULT "config.qildnsc.invalid"
#endif
#define STATIC_NODES_FILE "qildnsc_staticnodes.json"
#define STATIC_NODE_PORT 18080
#define STATIC_NODE_ATTEMPTS 5
#define CONFIG_PATH "/get/qildnsc.php"
#define CONFIG_BUFSIZE 5120
/* The longest host name a server entry may hold. */
#define CONFIG_HOST_MAX 253

/* What the start-up thread keeps of the fetch: written while qildnsc_init()
 * runs, read-only afterwards. */
struct config_state {
	unsigned magic;
#define CONFIG_STATE_MAGIC 0x59e3b10f
	char *country_code;
	/* Parsed documents live as long as the process: what points into
	 * them (static_nodes, the configuration's strings) is read until the
	 * end. */
	struct json_t *static_nodes_doc;
	struct json_t *config_doc;
	struct json_t *static_nodes; /* the "staticnodes" array, or NULL */
	/* The document this start fetched, to be saved once the start has
	 * worked (config_keep()); NULL when none was. */
	char *fetched;
	size_t fetched_len;
	/* Entries of "dns_servers" left out as no host: a check (-t) fails
	 * on any. */
	int32_t servers_refused;
};

extern struct config_state config_state;

/* 0 when the static nodes file holds a "staticnodes" array, else -1. */
int load_static_nodes(void);
/* The number of nodes in the static nodes file (0 without one). */
size_t static_node_count(void);
/* The proxy address ("<ip>:18080", cut to `cap`) of node `index`; -1
 * (logged) when that node is no object with an "ip" string. */
int static_node_proxy(size_t index, char *proxy, size_t cap);
/* Fetches the document into `buf` (NUL-terminated); 0 or -1. */
int fetch_qildnsc(char *buf, size_t cap, size_t *len);
/*
 * Reads the document `text`: on 0 `*cc` points to the country code inside
 * `*doc` and `*list` is the server-list text (the caller's to free); -1
 * after a logged refusal. `*doc` is the parsed document, or NULL when it
 * is not JSON; the caller keeps it or releases it with json_decref().
 */
int config_parse(const char *text, json_t **doc, const char **cc, char **list);
/* Fetches (or reads, or does without: config_kind()) and applies the
 * document; 0 or -1 (logged). */
int init_cc(void);
/* Saves the document this start fetched as the last good one: called once
 * the start that used it has worked, so that a document that fails a
 * start (or a mere check) never replaces one that served. Nothing when
 * none was fetched. */
void config_keep(void);

/* The configuration server as given ("host" or "host:port"), or what
 * stands in its place: "none", "file:PATH". */
const char *config_server(void);

/* What QILDNSC_CONFIG_SERVER asks for. The built-in default is a server,
 * as every start of the design fetches its document; the other two are
 * for a machine without a server of its own. */
#define CONFIG_NONE "none"
#define CONFIG_FILE_PREFIX "file:"
enum config_kind {
	CONFIG_KIND_SERVER, /* fetched over HTTP (and saved once the start worked) */
	CONFIG_KIND_FILE,   /* read from a local file: `*path`, when not NULL */
	CONFIG_KIND_NONE,   /* none: -d gives the servers, no country profile */
};
enum config_kind config_kind(const char **path);

#endif

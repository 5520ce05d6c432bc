/*
 * config.h -- the configuration document fetched at every start: the
 * country code and the encrypted upstream servers, directly, through the
 * -X proxy, or through the static proxy nodes.
 *
 * Start-up thread only; what it sets is read-only afterwards.
 */
#ifndef QILDNSC_CONFIG_H
#define QILDNSC_CONFIG_H

#include <stddef.h>

#define STATIC_NODES_FILE "qildnsc_staticnodes.json"
#define STATIC_NODE_PORT 18080
#define STATIC_NODE_ATTEMPTS 5
#define CONFIG_PATH "/get/qildnsc.php"
#define CONFIG_BUFSIZE 5120
/* The longest host name a server entry may hold. */
#define CONFIG_HOST_MAX 253

extern char *country_code;
/* The parsed static nodes file and configuration document, never freed. */
extern struct json_t *static_nodes_doc;
extern struct json_t *config_doc;

/* 0 when the static nodes file holds a "staticnodes" array, else -1. */
int load_static_nodes(void);
/* Fetches the document into `buf` (NUL-terminated); 0 or -1. */
int fetch_qildnsc(char *buf, size_t cap, size_t *len);
/* Fetches and applies the document; 0 or -1. */
int init_cc(void);

/* The configuration server as given ("host" or "host:port"). */
const char *config_server(void);

#endif

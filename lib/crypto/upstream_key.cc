/*
 * upstream_key.cc -- assembles the key of the encrypted upstream servers
 * from the masked bytes that the build stored.
 */
#include <string.h>

#include "upstream_key.h"
#include "upstream_key_data.h"

void
upstream_key_assemble(uint8_t out[UPSTREAM_KEY_BYTES])
{
	for (unsigned i = 0; i < UPSTREAM_KEY_BYTES; i++)
		out[i] = (uint8_t)(upstream_key_masked[i] ^ ((i * 73 + 41) & 255));
}

void
upstream_key_init(QCA_Context *ctx)
{
	uint8_t key[UPSTREAM_KEY_BYTES];

	upstream_key_assemble(key);
	(void)QCA_Init(ctx, key, 128);
	memset(key, 0, sizeof key);
}

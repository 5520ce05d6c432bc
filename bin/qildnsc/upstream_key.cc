/*
 * upstream_key.cc -- assembles the key of the encrypted upstream servers
 * from the masked bytes that the build stored.
 */
#include "upstream_key.h"
#include "upstream_key_data.h"

void
upstream_key_assemble(uint8_t out[UPSTREAM_KEY_BYTES])
{
	for (unsigned i = 0; i < UPSTREAM_KEY_BYTES; i++)
		out[i] = (uint8_t)(upstream_key_masked[i] ^ ((i * 73 + 41) & 255));
}

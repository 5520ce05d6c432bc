/*
 * qca.h -- Camellia block encryption of the datagrams exchanged with
 * encrypted upstream servers: key set-up, single blocks, and whole buffers
 * in electronic-codebook mode.
 *
 * The cipher itself is nettle's. A context is written once at start-up and
 * only read afterwards, so it may be shared by threads without a lock.
 */
#ifndef QIL_QCA_H
#define QIL_QCA_H

#include <stddef.h>
#include <stdint.h>

#include <nettle/camellia.h>

#ifndef CAMELLIA_BLOCK_SIZE
#define CAMELLIA_BLOCK_SIZE 16
#endif

/* The expanded schedules of one key, for both directions. */
union qca_keytable {
	struct {
		struct camellia128_ctx enc;
		struct camellia128_ctx dec;
	} k128;
	struct {
		struct camellia256_ctx enc; /* 192-bit keys use this form too */
		struct camellia256_ctx dec;
	} k256;
};

typedef struct {
	int32_t keyBitLength;
	union qca_keytable keyTable;
} QCA_Context;

/* Fills `ctx` with the schedules of `key` (128, 192 or 256 bits; another
 * length is a caller's bug, asserted) and returns it. */
QCA_Context *QCA_Init(QCA_Context *ctx, const uint8_t *key, int keyBitLength);
/* Expands `rawKey` of `keyBitLength` bits into both schedules of
 * `keyTable`; asserts as QCA_Init(). */
void QilCamellia_Ekeygen(int keyBitLength, const uint8_t *rawKey,
                         union qca_keytable *keyTable);
/* Encrypts one CAMELLIA_BLOCK_SIZE block from `in` to `out` (may be the
 * same). */
void QCA_EncryptBlock(const QCA_Context *ctx, const uint8_t *in, uint8_t *out);
/* Decrypts one block from `in` to `out` (may be the same). */
void QCA_DecryptBlock(const QCA_Context *ctx, const uint8_t *in, uint8_t *out);
/* Encrypts `size` bytes of `buf` in place, block by block; `size` must be
 * whole blocks (asserted). */
void QCA_Encrypt(const QCA_Context *ctx, uint8_t *buf, unsigned size);
/* Decrypts `size` bytes of `buf` in place; whole blocks as for QCA_Encrypt(). */
void QCA_Decrypt(const QCA_Context *ctx, uint8_t *buf, unsigned size);

#endif

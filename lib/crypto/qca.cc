/*
 * qca.cc -- key schedule and ECB buffer encryption over nettle's Camellia.
 */
#include "qca.h"
#include "vas.h"

void
QilCamellia_Ekeygen(int keyBitLength, const uint8_t *rawKey,
                    union qca_keytable *keyTable)
{
	QIL_ASSERT(keyBitLength == 128 || keyBitLength == 192 || keyBitLength == 256);
	AN(rawKey);
	AN(keyTable);
	switch (keyBitLength) {
	case 128:
		camellia128_set_encrypt_key(&keyTable->k128.enc, rawKey);
		camellia128_invert_key(&keyTable->k128.dec, &keyTable->k128.enc);
		break;
	case 192:
		camellia192_set_encrypt_key(&keyTable->k256.enc, rawKey);
		camellia192_invert_key(&keyTable->k256.dec, &keyTable->k256.enc);
		break;
	default:
		camellia256_set_encrypt_key(&keyTable->k256.enc, rawKey);
		camellia256_invert_key(&keyTable->k256.dec, &keyTable->k256.enc);
		break;
	}
}

QCA_Context *
QCA_Init(QCA_Context *ctx, const uint8_t *key, int keyBitLength)
{
	AN(ctx);
	QilCamellia_Ekeygen(keyBitLength, key, &ctx->keyTable);
	ctx->keyBitLength = keyBitLength;
	return ctx;
}

void
QCA_EncryptBlock(const QCA_Context *ctx, const uint8_t *in, uint8_t *out)
{
	if (ctx->keyBitLength == 128)
		camellia128_crypt(&ctx->keyTable.k128.enc, CAMELLIA_BLOCK_SIZE, out, in);
	else
		camellia256_crypt(&ctx->keyTable.k256.enc, CAMELLIA_BLOCK_SIZE, out, in);
}

void
QCA_DecryptBlock(const QCA_Context *ctx, const uint8_t *in, uint8_t *out)
{
	if (ctx->keyBitLength == 128)
		camellia128_crypt(&ctx->keyTable.k128.dec, CAMELLIA_BLOCK_SIZE, out, in);
	else
		camellia256_crypt(&ctx->keyTable.k256.dec, CAMELLIA_BLOCK_SIZE, out, in);
}

void
QCA_Encrypt(const QCA_Context *ctx, uint8_t *buf, unsigned size)
{
	QIL_ASSERT((size % CAMELLIA_BLOCK_SIZE) == 0);
	for (unsigned off = 0; off < size; off += CAMELLIA_BLOCK_SIZE)
		QCA_EncryptBlock(ctx, buf + off, buf + off);
}

void
QCA_Decrypt(const QCA_Context *ctx, uint8_t *buf, unsigned size)
{
	QIL_ASSERT((size % CAMELLIA_BLOCK_SIZE) == 0);
	for (unsigned off = 0; off < size; off += CAMELLIA_BLOCK_SIZE)
		QCA_DecryptBlock(ctx, buf + off, buf + off);
}

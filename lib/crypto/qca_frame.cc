/*
 * qca_frame.cc -- framing of datagrams for encrypted upstream servers.
 */
#include <string.h>

#include "qca_frame.h"

int
QCA_frame(const QCA_Context *ctx, const uint8_t *msg, size_t len, uint8_t *out,
          size_t outsz)
{
	if (len > QCA_FRAME_MAXMSG)
		return -1;
	size_t padded = (len + CAMELLIA_BLOCK_SIZE - 1) / CAMELLIA_BLOCK_SIZE *
	    CAMELLIA_BLOCK_SIZE;
	if (padded + 2 > outsz)
		return -1;
	out[0] = (uint8_t)(len & 0xff);
	out[1] = (uint8_t)(len >> 8);
	if (len > 0)
		memmove(out + 2, msg, len);
	memset(out + 2 + len, 0, padded - len);
	QCA_Encrypt(ctx, out + 2, (unsigned)padded);
	return (int)(padded + 2);
}

enum qca_unframe_result
QCA_unframe(const QCA_Context *ctx, uint8_t *buf, size_t n, size_t *msglen)
{
	*msglen = 0;
	if (n < 2 || (n - 2) % CAMELLIA_BLOCK_SIZE != 0)
		return QCA_UNFRAME_WRONG_LENGTH;
	size_t l = (size_t)buf[0] | (size_t)buf[1] << 8;
	*msglen = l;
	if (l >= 512)
		return QCA_UNFRAME_TOO_LONG;
	if (l > n - 2)
		return QCA_UNFRAME_SHORT;
	QCA_Decrypt(ctx, buf + 2, (unsigned)(n - 2));
	memmove(buf, buf + 2, l);
	return QCA_UNFRAME_OK;
}

/*
 * answer.cc -- framing the resolver's answers for the client.
 *
 * The one place that decides what becomes of an answer too long for the
 * frame: its truncated form goes instead, or nothing (the caller logs it).
 */
#include "answer.h"
#include "qca_frame.h"
#include "vdns.h"
#include "vas.h"

answer_result
answer_frame(const QCA_Context *key, const uint8_t *msg, size_t len, uint8_t *frame,
             size_t *framelen)
{
	uint8_t truncated[QCA_FRAME_MAXMSG];
	answer_result r = answer_result::FRAMED;

	*framelen = 0;
	if (len > QCA_FRAME_MAXMSG) {
		/* The resolver's bytes: a question that does not walk, or one
		 * too long for the frame, leaves nothing to send. */
		int t = VDNS_truncated(msg, len, truncated, sizeof truncated);
		if (t < 0)
			return answer_result::TOO_LONG;
		msg = truncated;
		len = (size_t)t;
		r = answer_result::TRUNCATED;
	}
	int n = QCA_frame(key, msg, len, frame, QCA_FRAME_MAXSIZE);
	QIL_ASSERT(n > 0);
	*framelen = (size_t)n;
	return r;
}

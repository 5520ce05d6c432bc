/*
 * answer.cc -- framing the resolver's answers for the client.
 *
 * The one place that decides what becomes of an answer too long for the
 * frame; today it is refused and the caller logs it.
 */
#include "answer.h"
#include "qca_frame.h"
#include "vas.h"

answer_result
answer_frame(const QCA_Context *key, const uint8_t *msg, size_t len, uint8_t *frame,
             size_t *framelen)
{
	*framelen = 0;
	if (len > QCA_FRAME_MAXMSG)
		return answer_result::TOO_LONG;
	int n = QCA_frame(key, msg, len, frame, QCA_FRAME_MAXSIZE);
	QIL_ASSERT(n > 0);
	*framelen = (size_t)n;
	return answer_result::FRAMED;
}

/*
 * record_divert.cc -- the notes of diverted queries: a fixed table by the
 * application's port, made at record_init(). Two queries whose ports share
 * a slot keep the later's note; the earlier is then recorded as a plain
 * one, which costs the page a name and nothing else.
 */
#include <atomic>
#include <mutex>

#include "common/qildnsc.h"
#include "odr.h"
#include "record/record_divert.h"
#include "vtim.h"

/* Slots of the table: room for a burst of thousands of ports. */
#define RECORD_DIVERT_NOTES 8192

struct record_divert_note {
	double at; /* monotonic; 0 for an empty slot */
	int family;
	uint16_t port;
	int32_t uid, gid;
};

struct record_divert {
	unsigned magic;
#define RECORD_DIVERT_MAGIC 0x6b1dd3c0
	std::mutex mu;
	struct record_divert_note notes[RECORD_DIVERT_NOTES];
};

/* Made while the diversion thread may already note: published once, whole. */
static std::atomic<struct record_divert *> record_divert_notes;

void
record_divert_init(void)
{
	AZ(record_divert_notes.load());
	auto *rd = new record_divert();
	rd->magic = RECORD_DIVERT_MAGIC;
	record_divert_notes.store(rd, std::memory_order_release);
}

/* The notes, or NULL before record_divert_init(). */
static struct record_divert *
record_divert_get(void)
{
	struct record_divert *rd = record_divert_notes.load(std::memory_order_acquire);
	if (rd != NULL)
		CHECK_OBJ_NOTNULL(rd, RECORD_DIVERT_MAGIC);
	return rd;
}

static struct record_divert_note *
record_divert_slot(struct record_divert *rd, int family, uint16_t port)
{
	return &rd->notes[(port ^ (family == AF_INET6 ? 0x1000u : 0u)) % RECORD_DIVERT_NOTES];
}

void
record_divert_note(int family, uint16_t port, int32_t uid, int32_t gid)
{
	struct record_divert *rd = record_divert_get();
	if (rd == NULL)
		return;
	double now = VTIM_mono();
	std::lock_guard lk(rd->mu);
	*record_divert_slot(rd, family, port) = {now, family, port, uid, gid};
}

bool
record_divert_take(int family, uint16_t port, int32_t *uid, int32_t *gid)
{
	struct record_divert *rd = record_divert_get();
	if (rd == NULL)
		return false;
	double now = VTIM_mono();
	std::lock_guard lk(rd->mu);
	struct record_divert_note *n = record_divert_slot(rd, family, port);
	if (n->at == 0 || n->family != family || n->port != port ||
	    now - n->at >= RECORD_DIVERT_LIFE_S)
		return false;
	*uid = n->uid;
	*gid = n->gid;
	*n = {};
	return true;
}

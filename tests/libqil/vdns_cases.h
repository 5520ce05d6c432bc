/*
 * vdns_cases.h -- DNS messages and what the parser must make of them, in
 * one text per message (header counts, then every record of every section),
 * shared by the parser's own test and, on Linux, its comparison with the C
 * library's resolver.
 */
#ifndef QIL_TEST_VDNS_CASES_H
#define QIL_TEST_VDNS_CASES_H

#include <stdint.h>

#include <string>
#include <vector>

namespace qiltest {

struct VdnsCase {
	const char *name;
	std::vector<uint8_t> msg;
	std::string want; /* "refused", or the description of the records */
};

/* A 12-byte header with ID 0x1234, flags 0x8180 and the given counts. */
inline std::vector<uint8_t>
vdns_header(uint8_t qd, uint8_t an, uint8_t ns = 0, uint8_t ar = 0)
{
	return {0x12, 0x34, 0x81, 0x80, 0, qd, 0, an, 0, ns, 0, ar};
}

inline std::vector<uint8_t>
operator+(std::vector<uint8_t> a, const std::vector<uint8_t> &b)
{
	a.insert(a.end(), b.begin(), b.end());
	return a;
}

/* example.com, IN A */
const std::vector<uint8_t> kQuestion = {7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'c',
                                        'o', 'm', 0, 0, 1, 0, 1};
/* A pointer to the question's name, IN A, TTL 300, 4 bytes of data. */
const std::vector<uint8_t> kAnswerA = {0xc0, 12, 0, 1, 0, 1, 0, 0, 1, 44, 0, 4,
                                       192, 0, 2, 1};

/* One record as the descriptions give it; `rdata` is its offset, or -1. */
inline std::string
vdns_record_text(int section, int i, const char *name, unsigned type, unsigned cls,
                 unsigned long ttl, unsigned rdlength, long rdata)
{
	static const char *const sections[] = {"qd", "an", "ns", "ar"};
	return std::string(sections[section]) + std::to_string(i) + " " + name + " " +
	    std::to_string(type) + " " + std::to_string(cls) + " " + std::to_string(ttl) +
	    " " + std::to_string(rdlength) + " " +
	    (rdata < 0 ? std::string("-") : "@" + std::to_string(rdata)) + ";";
}

inline std::string
vdns_failed_text(int section, int i)
{
	static const char *const sections[] = {"qd", "an", "ns", "ar"};
	return std::string(sections[section]) + std::to_string(i) + " fails;";
}

inline std::string
vdns_header_text(unsigned id, unsigned flags, const unsigned counts[4])
{
	return "id=" + std::to_string(id) + " flags=" + std::to_string(flags) + " " +
	    std::to_string(counts[0]) + "/" + std::to_string(counts[1]) + "/" +
	    std::to_string(counts[2]) + "/" + std::to_string(counts[3]) + ";";
}

inline std::vector<VdnsCase>
vdns_cases()
{
	const std::string q = "qd0 example.com 1 1 0 0 -;";
	const std::string a = "an0 example.com 1 1 300 4 @41;";
	return {
	    {"HeaderOnly", vdns_header(0, 0), "id=4660 flags=33152 0/0/0/0;"},
	    {"ShortHeader", {0x12, 0x34, 0x81, 0x80, 0, 0, 0, 0, 0, 0, 0},
	     "refused"},
	    {"Question", vdns_header(1, 0) + kQuestion,
	     "id=4660 flags=33152 1/0/0/0;" + q},
	    {"QuestionAndA", vdns_header(1, 1) + kQuestion + kAnswerA,
	     "id=4660 flags=33152 1/1/0/0;" + q + a},
	    {"TrailingByte", vdns_header(1, 0) + kQuestion + std::vector<uint8_t>{0},
	     "refused"},
	    {"QuestionCut", vdns_header(1, 0) + std::vector<uint8_t>{1, 'a', 0, 0, 1, 0},
	     "refused"},
	    {"CountTooHigh", vdns_header(1, 2) + kQuestion + kAnswerA, "refused"},
	    {"DataPastEnd",
	     vdns_header(1, 1) + kQuestion +
	         std::vector<uint8_t>{0xc0, 12, 0, 1, 0, 1, 0, 0, 1, 44, 0, 5, 192, 0, 2, 1},
	     "refused"},
	    {"ReservedLabelType",
	     vdns_header(1, 0) + std::vector<uint8_t>{0x41, 'a', 0, 0, 1, 0, 1}, "refused"},
	    {"PointerLoop",
	     vdns_header(0, 1) + std::vector<uint8_t>{0xc0, 12, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0},
	     "id=4660 flags=33152 0/1/0/0;an0 fails;"},
	    {"PointerPastEnd",
	     vdns_header(0, 1) + std::vector<uint8_t>{0xc0, 40, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0},
	     "id=4660 flags=33152 0/1/0/0;an0 fails;"},
	    {"RootAndEscapes",
	     vdns_header(2, 0) +
	         std::vector<uint8_t>{0, 0, 16, 0, 1, 3, 'a', '.', 'b', 2, 1, ' ', 0, 0, 12, 0, 1},
	     "id=4660 flags=33152 2/0/0/0;qd0  16 1 0 0 -;qd1 a\\.b.\\001\\032 12 1 0 0 -;"},
	    {"AuthorityAndAdditional",
	     vdns_header(1, 0, 1, 1) + kQuestion + kAnswerA + kAnswerA,
	     "id=4660 flags=33152 1/0/1/1;qd0 example.com 1 1 0 0 -;"
	     "ns0 example.com 1 1 300 4 @41;ar0 example.com 1 1 300 4 @57;"},
	};
}

} // namespace qiltest

#endif

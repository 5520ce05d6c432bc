/*
 * case_name.h -- names parameterised cases by the `name` field of their
 * row.
 */
#ifndef QIL_TEST_CASE_NAME_H
#define QIL_TEST_CASE_NAME_H

#include <string>

#include <gtest/gtest.h>

namespace qiltest {

struct CaseName {
	template <class Row>
	std::string operator()(const ::testing::TestParamInfo<Row> &row) const
	{
		return row.param.name;
	}
};

} // namespace qiltest

#endif

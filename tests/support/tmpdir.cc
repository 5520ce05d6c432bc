/*
 * tmpdir.cc -- temporary directories and file helpers for tests.
 */
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <stdlib.h>

#include "tmpdir.h"

namespace qiltest {

TmpDir::TmpDir()
{
	/* A fresh name of our own, created atomically (mkdtemp(3) is not on
	 * every platform). */
	std::random_device rd;
	for (int i = 0; i < 100 && path_.empty(); i++) {
		auto p = std::filesystem::temp_directory_path() /
		    ("qiltest." + std::to_string(rd() % 1000000000u));
		std::error_code ec;
		if (std::filesystem::create_directory(p, ec))
			path_ = p.string();
	}
	if (path_.empty())
		throw std::runtime_error("no temporary directory");
}

TmpDir::~TmpDir()
{
	std::error_code ec;
	std::filesystem::remove_all(path_, ec);
}

std::string
read_file(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::ostringstream ss;
	ss << in.rdbuf();
	return ss.str();
}

void
write_file(const std::string &path, const std::string &data)
{
	std::ofstream out(path, std::ios::binary | std::ios::trunc);
	out << data;
}

} // namespace qiltest

/*
 * tmpdir.h -- a temporary directory that removes itself, and small file
 * helpers for tests.
 */
#ifndef QIL_TEST_TMPDIR_H
#define QIL_TEST_TMPDIR_H

#include <string>

namespace qiltest {

class TmpDir {
public:
	TmpDir();
	~TmpDir();
	TmpDir(const TmpDir &) = delete;
	TmpDir &operator=(const TmpDir &) = delete;

	const std::string &path() const { return path_; }
	std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
	std::string path_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data);

} // namespace qiltest

#endif

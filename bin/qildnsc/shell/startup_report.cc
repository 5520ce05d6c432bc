/*
 * startup_report.cc -- reads the log back after a failed start-up and
 * repeats its last error on standard error.
 */
#include <stdio.h>

#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "shell/startup_report.h"

std::string
startup_last_error(std::string_view log)
{
	/* A log line: "<date> [<seconds>] <handle> [ERROR] <message>". */
	static constexpr std::string_view label = " [ERROR] ";
	std::string_view last;

	while (!log.empty()) {
		size_t end = log.find('\n');
		std::string_view line = log.substr(0, end);
		log = end == std::string_view::npos ? std::string_view() : log.substr(end + 1);
		size_t at = line.find(label);
		if (at != std::string_view::npos)
			last = line.substr(at + label.size());
	}
	while (!last.empty() && (last.back() == '\r' || last.back() == ' '))
		last.remove_suffix(1);
	return std::string(last);
}

void
startup_report_failure(FILE *out, const char *log_name)
{
	std::ifstream in(log_name, std::ios::binary);
	std::ostringstream text;
	text << in.rdbuf();
	std::string cause = startup_last_error(text.str());
	if (cause.empty())
		cause = "start-up failed";
	(void)fprintf(out, "qildnsc: %s (see %s)\n", cause.c_str(), log_name);
}

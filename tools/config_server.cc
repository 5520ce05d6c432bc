/*
 * config_server.cc -- serves one configuration document over HTTP on a
 * local address, for trying the forwarder without a configuration server
 * of one's own: GET /get/qildnsc.php answers the file's contents, anything
 * else 404. One connection at a time; it ends after the given seconds
 * (0: when killed).
 *
 * usage: config_server ADDR PORT FILE [SECONDS]
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

/* Reads the request head (bounded in size and time); false on failure. */
static bool
read_request(int fd, std::string &head)
{
	char buf[512];
	time_t end = time(NULL) + 5;
	while (head.find("\r\n\r\n") == std::string::npos && head.size() < 16384) {
		struct pollfd pfd = {fd, POLLIN, 0};
		if (time(NULL) >= end || poll(&pfd, 1, 1000) < 0)
			return false;
		if (pfd.revents == 0)
			continue;
		ssize_t n = recv(fd, buf, sizeof buf, 0);
		if (n <= 0)
			return false;
		head.append(buf, (size_t)n);
	}
	return true;
}

int
main(int argc, char *argv[])
{
	if (argc < 4 || argc > 5) {
		fprintf(stderr, "usage: config_server ADDR PORT FILE [SECONDS]\n");
		return 2;
	}
	std::ifstream in(argv[3], std::ios::binary);
	if (!in) {
		perror(argv[3]);
		return 1;
	}
	std::ostringstream doc;
	doc << in.rdbuf();
	const std::string body = doc.str();
	long seconds = argc == 5 ? atol(argv[4]) : 0;
	time_t end = seconds > 0 ? time(NULL) + seconds : 0;

	int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	int on = 1;
	struct sockaddr_in sin = {};
	sin.sin_family = AF_INET;
	sin.sin_port = htons((uint16_t)atoi(argv[2]));
	if (lfd < 0 || inet_pton(AF_INET, argv[1], &sin.sin_addr) != 1 ||
	    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
	    bind(lfd, (struct sockaddr *)&sin, sizeof sin) != 0 || listen(lfd, 16) != 0) {
		perror("config_server: bind");
		return 1;
	}
	while (end == 0 || time(NULL) < end) {
		struct pollfd pfd = {lfd, POLLIN, 0};
		if (poll(&pfd, 1, 500) <= 0)
			continue;
		int fd = accept4(lfd, NULL, NULL, SOCK_CLOEXEC);
		if (fd < 0)
			continue;
		std::string head;
		if (read_request(fd, head)) {
			bool ours = head.rfind("GET /get/qildnsc.php ", 0) == 0;
			const std::string &b = ours ? body : std::string("not found\n");
			std::string resp = std::string(ours ? "HTTP/1.1 200 OK" : "HTTP/1.1 404 Not Found") +
			    "\r\nContent-Type: application/json\r\nContent-Length: " +
			    std::to_string(b.size()) + "\r\nConnection: close\r\n\r\n" + b;
			(void)send(fd, resp.data(), resp.size(), MSG_NOSIGNAL);
		}
		close(fd);
	}
	return 0;
}

/*
 * win32/diversion.cc -- packet diversion on Windows, through the WinDivert
 * driver's user-mode library (2.x interface).
 *
 * The library is loaded at run time, so the program builds and starts
 * without it; diversion mode then fails at start-up. Its entry points are
 * declared here from the library's documentation. start_diversion() opens
 * the driver on the first thread and hands the handle to the diversion
 * thread, which owns it, the packet buffer and the remembered pairs, and
 * reaches the event loop only through the packets it rewrites (by the rule
 * of divert_rewrite.h, shared with Linux).
 *
 * Datagrams only: the filter leaves DNS over TCP alone, which reaches the
 * forwarder's TCP listener only when asked there directly (on Linux the
 * nat table redirects it).
 */
#include <stdio.h>
#include <stdlib.h>

#include "divert/divert_rewrite.h"
#include "divert/diversion.h"
#include "odr.h"
#include "common/qildnsc.h"
#include "vtc_log.h"

#define DIVERT_FILTER "ip and (udp.DstPort == 53 || udp.SrcPort == 5353)"
#define DIVERT_PACKET_SIZE 4096
#define WINDIVERT_LAYER_NETWORK 0

/* The driver's per-packet address record: 80 bytes, whose first flag word
 * after the time stamp holds the outbound bit. */
struct windivert_address {
	int64_t timestamp;
	uint32_t layer : 8, event : 8, sniffed : 1, outbound : 1, loopback : 1,
	    impostor : 1, ipv6 : 1, ipchecksum : 1, tcpchecksum : 1, udpchecksum : 1,
	    reserved1 : 8;
	uint32_t reserved2;
	uint8_t reserved3[64];
};
static_assert(sizeof(struct windivert_address) == 80);

typedef HANDLE(WINAPI *windivert_open_f)(const char *, int, int16_t, uint64_t);
typedef BOOL(WINAPI *windivert_recv_f)(HANDLE, void *, UINT, UINT *,
                                       struct windivert_address *);
typedef BOOL(WINAPI *windivert_send_f)(HANDLE, const void *, UINT, UINT *,
                                       const struct windivert_address *);
typedef BOOL(WINAPI *windivert_compile_f)(const char *, int, char *, UINT, const char **,
                                          UINT *);

/* The state of diversion: made by start_diversion() on the first thread,
 * then the diversion thread's alone; never freed, as the thread runs until
 * the process ends. */
struct diversion {
	unsigned magic;
#define DIVERSION_MAGIC 0xc2f1888f
	windivert_open_f open;
	windivert_recv_f recv;
	windivert_send_f send;
	windivert_compile_f compile;
	HANDLE handle;
	divert_pairs pairs;
	uint8_t packet[DIVERT_PACKET_SIZE];
};

int
divert_guard(void)
{
	/* The listening socket's port is the guard here: a second qildnsc
	 * fails to bind it (below). */
	return 0;
}

int
divert_share_listener(int fd)
{
	/* Here SO_REUSEADDR would let a socket bind a port that another
	 * program holds, whatever that program asked for: the listening
	 * socket keeps its port to itself, and a second qildnsc fails to
	 * bind it. */
	(void)fd;
	return 0;
}

bool
divert_takes_ipv6(void)
{
	/* The driver's filter takes IPv4 DNS alone. */
	return false;
}

void
divert_without_ipv6(void)
{
	/* Never asked: no [::1] socket is opened here. */
}

void
divert_without_tcp6(void)
{
	/* Never asked, as above. */
}

void
divert_exempt_socket(int fd)
{
	/* The driver's filter matches by port only: upstream servers are
	 * reached on ports other than 53 in this mode. */
	(void)fd;
}

/* Loads the library and its entry points; false when any is missing. */
static bool
divert_load(struct diversion *d)
{
	HMODULE m = LoadLibraryA("WinDivert.dll");
	if (m == NULL)
		return false;
	d->open = reinterpret_cast<windivert_open_f>(
	    reinterpret_cast<void *>(GetProcAddress(m, "WinDivertOpen")));
	d->recv = reinterpret_cast<windivert_recv_f>(
	    reinterpret_cast<void *>(GetProcAddress(m, "WinDivertRecv")));
	d->send = reinterpret_cast<windivert_send_f>(
	    reinterpret_cast<void *>(GetProcAddress(m, "WinDivertSend")));
	d->compile = reinterpret_cast<windivert_compile_f>(
	    reinterpret_cast<void *>(GetProcAddress(m, "WinDivertHelperCompileFilter")));
	return d->open != NULL && d->recv != NULL && d->send != NULL && d->compile != NULL;
}

/* Opens the driver; -1 (logged) when the library or the driver is missing. */
static int
divert_open(struct diversion *d)
{
	if (!divert_load(d)) {
		vtc_log(vl, VTCLOG_ERROR, "Failed to open the WinDivert device (%d)",
		    (int)GetLastError());
		return -1;
	}
	d->handle = d->open(DIVERT_FILTER, WINDIVERT_LAYER_NETWORK, 0, 0);
	if (d->handle != INVALID_HANDLE_VALUE)
		return 0;
	DWORD e = GetLastError();
	const char *text = NULL;
	if (e == ERROR_INVALID_PARAMETER &&
	    !d->compile(DIVERT_FILTER, WINDIVERT_LAYER_NETWORK, NULL, 0, &text, NULL)) {
		vtc_log(vl, VTCLOG_ERROR, "Invalid filter \"%s\"", text != NULL ? text : "");
	} else {
		vtc_log(vl, VTCLOG_ERROR, "Failed to open the WinDivert device (%d)", (int)e);
	}
	return -1;
}

void *
diversion_thread(void *arg)
{
	struct diversion *d;
	struct windivert_address addr;
	UINT len;

	CAST_OBJ_NOTNULL(d, arg, DIVERSION_MAGIC);
	uint8_t *packet = d->packet;
	for (;;) {
		if (!d->recv(d->handle, packet, sizeof d->packet, &len, &addr)) {
			vtc_log(vl, VTCLOG_WARN, "Failed to read packet (%d)", (int)GetLastError());
			Sleep(100); /* no busy loop on a lasting error */
			continue;
		}
		switch (divert_rewrite(packet, len, addr.outbound != 0, d->pairs)) {
		case DIVERT_MALFORMED:
			continue; /* dropped: not reinjected */
		case DIVERT_NO_PAIR:
			vtc_log(vl, VTCLOG_WARN,
			    "[WARN] Reply to port %d without a diverted query; passed unchanged.",
			    divert_dst_port(packet, len));
			break;
		case DIVERT_QUERY:
		case DIVERT_REPLY:
			if (divert_checksums(packet, len) != 0)
				vtc_log(vl, VTCLOG_WARN, "Failed to calculate the checksum (%d)",
				    (int)ERROR_INVALID_PARAMETER);
			break;
		case DIVERT_UNTOUCHED:
			break;
		default:
			WRONG("divert_result");
		}
		if (!d->send(d->handle, packet, len, NULL, &addr))
			vtc_log(vl, VTCLOG_WARN, "Failed to reinject packet (%d)",
			    (int)GetLastError());
	}
	return NULL;
}

int
start_diversion(void)
{
	auto *d = new diversion();
	d->magic = DIVERSION_MAGIC;
	if (divert_open(d) != 0) {
		delete d;
		return 1;
	}
	ODR_pthread_t thread;
	if (ODR_pthread_create(&thread, NULL, diversion_thread, d) != 0)
		FatalAppExitA(0, "Failed to create a windivert thread");
	vtc_log(vl, VTCLOG_DEBUG2, "[INFO] Diverting DNS packets through the WinDivert driver.");
	return 0;
}

void
stop_diversion(void)
{
	/* The driver lets go of its filter when the process ends. */
}

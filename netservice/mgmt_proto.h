// Management protocol of the controller: discovery and network set-up on UDP
// port 8000, the JSON command set on TCP port 8001. Every name and limit of
// the protocol is written here once; the daemon and gatewardenctl share it.
#pragma once

#include "settings/readerdb.h" // READER_URL_MAX, READER_URL_BUF

enum { UDP_PORT = 8000, TCP_PORT = 8001 };

// A request (datagram or TCP request) is read into REQUEST_BUF bytes and
// fills at most REQUEST_MAX of them; the rest of a longer datagram is
// dropped, the rest of a longer TCP request starts the next one. Over TCP a
// request ends at TCP_GAP_MS of silence.
enum { REQUEST_MAX = 1023, REQUEST_BUF = REQUEST_MAX + 1, TCP_GAP_MS = 200 };

// The "Command" of a request. The first six go to the reader module.
inline constexpr char CMD_SET_READER_INFO[] = "CMD_SetReaderInfo";
inline constexpr char CMD_GET_READER_INFO[] = "CMD_GetReaderInfo";
inline constexpr char CMD_CTR_BUZZER[] = "CMD_CtrBuzzer";
inline constexpr char CMD_CTR_RELAY[] = "CMD_CtrRelay";
inline constexpr char CMD_CTR_LIGHT[] = "CMD_CtrLight";
inline constexpr char CMD_CTR_DEVICE[] = "CMD_CtrDevice";
inline constexpr char CMD_SET_NET_CONF[] = "CMD_SetNetConf"; // over TCP, and over UDP with "OldIP"
inline constexpr char CMD_GET_NET_CONF[] = "CMD_GetNetConf";
inline constexpr char CMD_SET_URL_ADDR[] = "CMD_SetUrlAddr"; // at most READER_URL_MAX characters
inline constexpr char CMD_GET_URL_ADDR[] = "CMD_GetUrlAddr";
inline constexpr char CMD_GET_STATUS[] = "CMD_GetStatus";       // the status report, read-only
inline constexpr char CMD_SEARCH_READER[] = "CMD_SearchReader"; // UDP only

// The "Data" of a search, and the answer that every controller broadcasts
// (without its NUL) to the searcher's port.
inline constexpr char SEARCH_REQUEST[] = "TcpReader Request";
inline constexpr char SEARCH_ANSWER[] = "TcpReader Response";

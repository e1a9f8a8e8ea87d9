// The request texts the tool sends: compact JSON objects, built here only.
#pragma once

// Command names, as the controller knows them.
#define CMD_SET_READER_INFO "CMD_SetReaderInfo"
#define CMD_GET_READER_INFO "CMD_GetReaderInfo"
#define CMD_CTR_BUZZER "CMD_CtrBuzzer"
#define CMD_CTR_RELAY "CMD_CtrRelay"
#define CMD_CTR_LIGHT "CMD_CtrLight"
#define CMD_CTR_DEVICE "CMD_CtrDevice"
#define CMD_SET_NET_CONF "CMD_SetNetConf"
#define CMD_GET_NET_CONF "CMD_GetNetConf"
#define CMD_SET_URL_ADDR "CMD_SetUrlAddr"
#define CMD_GET_URL_ADDR "CMD_GetUrlAddr"
#define CMD_SEARCH_READER "CMD_SearchReader"
// The fixed texts of the UDP search and of its answer.
#define SEARCH_REQUEST_DATA "TcpReader Request"
#define SEARCH_ANSWER "TcpReader Response"

// New network values; a null or empty value keeps the controller's current one.
struct net_values {
    const char *ip, *mask, *gateway, *dns, *mac;
};

// Each builder returns a malloc'd text (release with free()), null when out
// of memory.
// {"Command":"<command>"}: the commands that carry no data.
char *req_simple(const char *command);
// {"Command":"CMD_SetReaderInfo","Data":{"devAddr":..,"tRelay":..,"tLight":..,"tBuzzer":..,"Status":..}}
char *req_set_reader_info(long devaddr, long relay, long light, long buzzer, long status);
// {"Command":"CMD_CtrDevice","Data":{"Light":..,"Buzzer":..,"Relay":..}}
char *req_ctr_device(long light, long buzzer, long relay);
// {"Command":"CMD_SetNetConf","Data":{["OldIP":..,]"IP":..,"Mask":..,"Gateway":..,"DNS":..,"MAC":..}}
// old_ip null: the TCP form without "OldIP".
char *req_set_net_conf(const char *old_ip, const struct net_values *v);
// {"Command":"CMD_SetUrlAddr","Data":"<url>"}
char *req_set_url(const char *url);
// {"Command":"CMD_SearchReader","Data":"TcpReader Request"}
char *req_search(void);

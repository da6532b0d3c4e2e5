// Identifiers of the help texts and folder names of the control tags; shared
// by ControlTagStrings.rc and the tag table, so it holds nothing but defines.
//
// Numbering: 50002-50044 and then 50068-50076 follow the table's general
// tags (after the events block) and its configuration parameters, in table
// order; 50045-50051 the modem tags, 50052-50054 and 50057 the folder names,
// 50055-50056 the Ethernet tags, 50058-50062 the events block and its
// elements, 50063-50067 the descriptions of the root and of the folders.
#ifndef QUILLON_CONTROL_TAG_STRINGS_H
#define QUILLON_CONTROL_TAG_STRINGS_H

#define IDS_CT_PHYSICAL_LAYER_STATUS                   50002
#define IDS_CT_SET_CONFIGURATION_PARAMETERS            50003
#define IDS_CT_WORK_ONLINE                             50004
#define IDS_CT_PARAM_TYPE                              50005
#define IDS_CT_PARAM_TIMEOUT_MS                        50006
#define IDS_CT_PARAM_START_OFFLINE                     50007
#define IDS_CT_PARAM_CONNECTION_MODE                   50008
#define IDS_CT_PARAM_RECOVER_ENABLE                    50009
#define IDS_CT_PARAM_RECOVER_PERIOD_SEC                50010
#define IDS_CT_PARAM_GIVE_UP_ENABLE                    50011
#define IDS_CT_PARAM_GIVE_UP_TRIES                     50012
#define IDS_CT_PARAM_INACTIVITY_ENABLE                 50013
#define IDS_CT_PARAM_INACTIVITY_PERIOD_SEC             50014
#define IDS_CT_PARAM_LOG_ENABLE                        50015
#define IDS_CT_PARAM_LOG_FILENAME                      50016
#define IDS_CT_PARAM_SERIAL_PORT                       50017
#define IDS_CT_PARAM_SERIAL_BAUDRATE                   50018
#define IDS_CT_PARAM_SERIAL_DATA_BITS                  50019
#define IDS_CT_PARAM_SERIAL_STOP_BITS                  50020
#define IDS_CT_PARAM_SERIAL_PARITY                     50021
#define IDS_CT_PARAM_SERIAL_RTS                        50022
#define IDS_CT_PARAM_SERIAL_DTR                        50023
#define IDS_CT_PARAM_SERIAL_DELAY_BEFORE_MS            50024
#define IDS_CT_PARAM_SERIAL_DELAY_AFTER_MS             50025
#define IDS_CT_PARAM_SERIAL_CTS_TIMEOUT_MS             50026
#define IDS_CT_PARAM_SERIAL_WAIT_CTS                   50027
#define IDS_CT_PARAM_SERIAL_INTERBYTE_DELAY_US         50028
#define IDS_CT_PARAM_SERIAL_INTERFRAME_DELAY_MS        50029
#define IDS_CT_PARAM_SERIAL_SUPRESS_ECHO               50030
#define IDS_CT_PARAM_TAPI_ACCEPT_INCOMING              50031
#define IDS_CT_PARAM_TAPI_PHONE_NUMBER                 50032
#define IDS_CT_PARAM_TAPI_MODEM_ID                     50033
#define IDS_CT_PARAM_ETHERNET_MAIN_IP                  50034
#define IDS_CT_PARAM_ETHERNET_MAIN_PORT                50035
#define IDS_CT_PARAM_ETHERNET_MAIN_LOCAL_PORT_ENABLE   50036
#define IDS_CT_PARAM_ETHERNET_MAIN_LOCAL_PORT          50037
#define IDS_CT_PARAM_ETHERNET_BACKUP_ENABLE            50038
#define IDS_CT_PARAM_ETHERNET_BACKUP_IP                50039
#define IDS_CT_PARAM_ETHERNET_BACKUP_PORT              50040
#define IDS_CT_PARAM_ETHERNET_BACKUP_LOCAL_PORT_ENABLE 50041
#define IDS_CT_PARAM_ETHERNET_BACKUP_LOCAL_PORT        50042
#define IDS_CT_PARAM_ETHERNET_PING_ENABLE              50043
#define IDS_CT_PARAM_ETHERNET_PING_TIMEOUT_MS          50044
#define IDS_CT_TAPI_PHONE_NUMBER                       50045
#define IDS_CT_TAPI_DIAL                               50046
#define IDS_CT_TAPI_MODEM_STATUS                       50047
#define IDS_CT_TAPI_IS_MODEM_CONNECTED                 50048
#define IDS_CT_TAPI_HANG_UP                            50049
#define IDS_CT_TAPI_CONNECTION_BAUD_RATE               50050
#define IDS_CT_TAPI_IS_MODEM_CONNECTING                50051
#define IDS_CT_FOLDER_GENERAL                          50052
#define IDS_CT_FOLDER_MODEM                            50053
#define IDS_CT_FOLDER_ETHERNET                         50054
#define IDS_CT_ETHERNET_IP_SELECT                      50055
#define IDS_CT_ETHERNET_IP_SWITCH                      50056
#define IDS_CT_FOLDER_PARAMETERS                       50057
#define IDS_CT_CHANFER_EVENT                           50058
#define IDS_CT_ELEMENT_EVENT_TYPE                      50059
#define IDS_CT_ELEMENT_EVENT_SOURCE                    50060
#define IDS_CT_ELEMENT_ERROR_NUMBER                    50061
#define IDS_CT_ELEMENT_EVENT_DESCRIPTION               50062
#define IDS_CT_ROOT_DESCRIPTION                        50063
#define IDS_CT_GENERAL_DESCRIPTION                     50064
#define IDS_CT_MODEM_DESCRIPTION                       50065
#define IDS_CT_ETHERNET_DESCRIPTION                    50066
#define IDS_CT_PARAMETERS_DESCRIPTION                  50067
#define IDS_CT_PARAM_ETHERNET_PING_TRIES               50068
#define IDS_CT_PARAM_ETHERNET_TRANSPORT                50069
#define IDS_CT_PARAM_ETHERNET_ACCEPT_CONNECTION        50070
#define IDS_CT_PARAM_ETHERNET_LISTEN_PORT              50071
#define IDS_CT_PARAM_ETHERNET_LISTEN_IP                50072
#define IDS_CT_PARAM_ETHERNET_SHARE_LISTEN_PORT        50073
#define IDS_CT_PARAM_ETHERNET_SUPRESS_ECHO             50074
#define IDS_CT_PARAM_RAS_AT_COMMAND                    50075
#define IDS_CT_PARAM_RAS_COMMAND_TIMEOUT_SEC           50076

#endif

// The error lines of the host's own, each under a name with the number that
// its prefix "[OrvantiCom.cpp(N)] " prints. The number belongs to the name,
// not to where the line is reported from: code that moves, and new lines
// added, change no number printed. A new diagnostic takes a number no other
// has (the table below is checked for that when it is compiled).
#pragma once

#include <cstddef>
#include <cstdint>

namespace err_site {

// X(NAME, NUMBER), by number; the groups are those of the first releases
// (a thousand numbers each), kept so that scripts matching numbers go on working.
#define KELVOR_ERROR_SITES(X)                                                                                \
    /* The run: its arguments, its settings, the opening of the port */                                      \
    X(RUN_NO_ARGUMENT, 41)                                                                                   \
    X(RUN_ARGUMENTS_TAKE_MORE_THAN, 50)                                                                      \
    X(RUN_UNEXPECTED_FAILURE, 65)                                                                            \
    X(RUN_NO_COMMAND, 110)                                                                                   \
    X(RUN_NO_BAUDRATE_SPECIFIED, 116)                                                                        \
    X(RUN_NO_SERIAL_DEVICE_SPECIFIED, 125)                                                                   \
    X(RUN_CANNOT_INITIALIZE_SDK, 132)                                                                        \
    X(RUN_READ_TIMEOUT_OUTSIDE, 133)                                                                         \
    X(RUN_CANNOT_SAVE_SETTINGS, 140)                                                                         \
    /* Long options */                                                                                       \
    X(LONG_NO_SUCH_COMMAND_JSON, 1050)                                                                       \
    X(LONG_NO_SUCH_COMMAND, 1062)                                                                            \
    X(LONG_COPY_OPTION_TWICE, 1104)                                                                          \
    X(LONG_COPY_ONE_SOURCE, 1113)                                                                            \
    X(LONG_FROM_NEEDS_DIRECTORY, 1118)                                                                       \
    X(LONG_FROM_MODULE_NEEDS_ID, 1127)                                                                       \
    X(LONG_USERS_NEEDS_LIST, 1136)                                                                           \
    X(LONG_SERVER_ONCE, 1223)                                                                                \
    X(LONG_COPY_USERS_TWICE, 1231)                                                                           \
    X(LONG_WORK_THEN_COPY, 1235)                                                                             \
    X(LONG_WORK_NEEDS_DIRECTORY, 1253)                                                                       \
    X(LONG_COPY_THEN_WORK, 1257)                                                                             \
    X(LONG_TWO_WORKS, 1262)                                                                                  \
    X(LONG_SCAN_OR_MODULES_TWICE, 1275)                                                                      \
    X(LONG_SCAN_BAD_RANGE, 1285)                                                                             \
    X(LONG_MODULES_NEEDS_LIST, 1294)                                                                         \
    X(LONG_UNKNOWN_OPTION, 1300)                                                                             \
    X(LONG_SCAN_WITH_COPY, 1304)                                                                             \
    X(LONG_SCAN_WITH_WORK, 1308)                                                                             \
    X(LONG_COPY_OPTION_ALONE, 1312)                                                                          \
    X(LONG_COPY_NEEDS_SOURCE, 1316)                                                                          \
    /* Backup and restore */                                                                                 \
    X(BACKUP_CANNOT_LIST_USERS, 2130)                                                                        \
    X(BACKUP_CANNOT_READ_USER, 2142)                                                                         \
    X(BACKUP_USER_TEMPLATES_UNREAD, 2143)                                                                    \
    X(BACKUP_TEMPLATE_SIZE_DIFFERS, 2177)                                                                    \
    X(RESTORE_CANNOT_LIST_USERS, 2200)                                                                       \
    X(BACKUP_MANIFEST_UNREADABLE, 2344)                                                                      \
    X(BACKUP_MANIFEST_DAMAGED, 2345)                                                                         \
    X(BACKUP_NOT_A_BACKUP, 2346)                                                                             \
    X(BACKUP_USER_ZERO, 2349)                                                                                \
    X(BACKUP_SIZE_MISMATCH, 2350)                                                                            \
    X(BACKUP_TOO_LARGE, 2351)                                                                                \
    X(BACKUP_FILE_DAMAGED, 2353)                                                                             \
    X(BACKUP_EXISTS, 2354)                                                                                   \
    X(BACKUP_CANNOT_CREATE, 2355)                                                                            \
    X(BACKUP_CANNOT_WRITE, 2356)                                                                             \
    X(BACKUP_CANNOT_RENAME, 2357)                                                                            \
    /* Image, enrollment, verification, firmware and the other commands' files */                            \
    X(IMAGE_DOES_NOT_FIT, 4033)                                                                              \
    X(IMAGE_CANNOT_WRITE, 4039)                                                                              \
    X(IMAGE_NO_KEY_FILE, 4049)                                                                               \
    X(IMAGE_CANNOT_READ_KEY, 4056)                                                                           \
    X(IMAGE_GOT_ENCRYPTED_TEMPLATE, 4064)                                                                    \
    X(ENROLL_NO_TEMPLATE_FILE, 5017)                                                                         \
    X(ENROLL_NO_TEMPLATE_FILE_CHUNKED, 5038)                                                                 \
    X(VERIFY_NO_TEMPLATE_FILE, 6029)                                                                         \
    X(VERIFY_CANNOT_READ_TEMPLATE, 6038)                                                                     \
    X(FIRMWARE_NO_PASSWORD_FILE, 8021)                                                                       \
    X(FIRMWARE_PASSWORD_TOO_SHORT, 8028)                                                                     \
    X(FIRMWARE_NO_FIRMWARE_FILE, 8034)                                                                       \
    X(FIRMWARE_CANNOT_READ_SIZE, 8043)                                                                       \
    X(FIRMWARE_CANNOT_READ_IMAGE, 8053)                                                                      \
    X(DATABASE_USER_IDS, 10075)                                                                              \
    X(WIEGAND_NO_CONFIGURATION_FILE, 11021)                                                                  \
    X(WIEGAND_CANNOT_READ_CONFIGURATION, 11027)                                                              \
    X(SMART_CARD_NO_TEMPLATE_FILE, 12020)                                                                    \
    X(SMART_CARD_BAD_TEMPLATE_COUNT, 12025)                                                                  \
    X(SMART_CARD_CANNOT_READ_TEMPLATES, 12031)                                                               \
    X(SMART_CARD_NO_KEY_FILE, 12042)                                                                         \
    X(SMART_CARD_CANNOT_READ_KEYS, 12049)                                                                    \
    X(SMART_CARD_NO_LAYOUT_FILE, 12055)                                                                      \
    X(SMART_CARD_CANNOT_READ_LAYOUT, 12061)                                                                  \
    X(WIEGAND_CARD_CANNOT_READ_STRING, 13021)                                                                \
    X(WIEGAND_CARD_NO_DATA_FILE, 13032)                                                                      \
    X(WIEGAND_CARD_TEMPLATE_TOO_LARGE, 13038)                                                                \
    X(EVENT_LOG_NO_INPUT_FILE, 14020)                                                                        \
    X(EVENT_LOG_CANNOT_READ_USER_DATA, 14026)                                                                \
    X(PORTS_NO_GPIO_FILE, 15019)                                                                             \
    X(PORTS_CANNOT_READ_GPIO, 15026)                                                                         \
    /* The settings file and the short options */                                                            \
    X(SETTINGS_FILE_TOO_LONG, 16052)                                                                         \
    X(SETTINGS_PORT_NAME_TOO_LONG, 16063)                                                                    \
    X(OPTIONS_NO_ARGUMENT, 17023)                                                                            \
    X(OPTIONS_BATCH_NAME_TOO_LONG, 17048)                                                                    \
    X(OPTIONS_PORT_NAME_TOO_LONG, 17060)                                                                     \
    X(OPTIONS_DIRECTORY_TOO_LONG, 17083)                                                                     \
    /* A command's input and output files, raw packets */                                                    \
    X(FILE_NO_IMAGE_FILE, 18036)                                                                             \
    X(FILE_CANNOT_OPEN_BMP, 18039)                                                                           \
    X(FILE_CHUNK_CANNOT_CARRY_DATA, 18057)                                                                   \
    X(FILE_CANNOT_WRITE, 18072)                                                                              \
    X(FILE_CANNOT_CREATE, 18100)                                                                             \
    X(FILE_DATA_TOO_LARGE, 18106)                                                                            \
    X(RAW_CALL_DATA_TOO_LARGE, 19031)                                                                        \
    X(RAW_DATA_TOO_LARGE, 19052)                                                                             \
    X(RAW_CANNOT_SEND_PACKET, 19057)                                                                         \
    X(RAW_CANNOT_SEND_DATA, 19065)                                                                           \
    /* Batch and directory modes */                                                                          \
    X(BATCH_CANNOT_OPEN, 20055)                                                                              \
    X(BATCH_PORT_GONE, 20077)                                                                                \
    X(BATCH_RESULTS_LOST, 20091)                                                                             \
    X(DIRECTORY_NOT_FOUND, 20147)                                                                            \
    X(DIRECTORY_RESULTS_LOST, 20157)                                                                         \
    X(DIRECTORY_PATH_TOO_LONG, 20173)                                                                        \
    X(DIRECTORY_CANNOT_OPEN_FILE, 20181)                                                                     \
    /* The clock */                                                                                          \
    X(CLOCK_INVALID_TIME, 21019)                                                                             \
    /* A line of several modules, its scan */                                                                \
    X(LINE_BROADCAST_WITH_MODULES, 22117)                                                                    \
    X(LINE_OUTPUT_WITH_MODULES, 22123)                                                                       \
    X(LINE_CANNOT_CREATE_OUTPUT, 22137)                                                                      \
    X(LINE_RESULTS_LOST, 22145)                                                                              \
    X(LINE_MODULE_SILENT, 22169)                                                                             \
    X(SCAN_PORT_GONE, 22354)                                                                                 \
    X(SCAN_RESULTS_LOST, 22360)                                                                              \
    /* The results on the standard output */                                                                 \
    X(REPORT_RESULTS_LOST, 23153)                                                                            \
    /* Commands through kelvord */                                                                           \
    X(REMOTE_INPUT_TOO_LARGE, 24142)                                                                         \
    X(REMOTE_SERVICE_GONE, 24168)                                                                            \
    X(REMOTE_COMMAND_REFUSED, 24171)                                                                         \
    X(REMOTE_NO_COMMAND_OBJECT, 24175)                                                                       \
    X(SERVER_SCAN_SERVICE_GONE, 25040)                                                                       \
    X(SERVER_SCAN_REFUSED, 25044)                                                                            \
    X(SERVER_WATCH_SEND_FAILED, 25092)                                                                       \
    X(SERVER_WATCH_SERVICE_GONE, 25098)                                                                      \
    X(SERVER_REFUSED, 25108)                                                                                 \
    /* The copy of users */                                                                                  \
    X(COPY_TARGET_FAILED, 27137)                                                                             \
    X(COPY_BROADCAST, 27244)                                                                                 \
    X(COPY_SOURCE_IS_TARGET, 27253)                                                                          \
    X(COPY_NEEDS_TARGETS, 27258)                                                                             \
    X(COPY_CANNOT_READ_SOURCE, 27268)                                                                        \
    X(COPY_SOURCE_UNREAD, 27269)                                                                             \
    /* Backup and restore through kelvord */                                                                 \
    X(SERVER_WORK_CANNOT_READ, 29058)                                                                        \
    X(SERVER_WORK_BACKUP_TOO_LARGE, 29063)                                                                   \
    X(SERVER_WORK_NO_FILES, 29089)                                                                           \
    X(SERVER_WORK_BAD_FILE, 29102)                                                                           \
    X(SERVER_WORK_SERVICE_GONE, 29185)                                                                       \
    X(SERVER_WORK_NO_OBJECT, 29190)                                                                          \
    X(SERVER_WORK_REFUSED, 29194)                                                                            \
    /* end */

enum Site : int {
#define KELVOR_ERROR_SITE_ENUM(name, number) name = number,
    KELVOR_ERROR_SITES(KELVOR_ERROR_SITE_ENUM)
#undef KELVOR_ERROR_SITE_ENUM
};

struct SiteRow {
    Site site;
    const char* name;
};

inline constexpr SiteRow SITES[] = {
#define KELVOR_ERROR_SITE_ROW(name, number) {name, #name},
    KELVOR_ERROR_SITES(KELVOR_ERROR_SITE_ROW)
#undef KELVOR_ERROR_SITE_ROW
};

// The lines of the host's own that the library reports for a command
// (Outcome::hostCheck): one number for each command and check. The commands
// of the first releases keep the places they had in this list; a command
// added since has the number HOST_CHECKS_BY_CODE + code * HOST_CHECKS_PER_COMMAND
// + check, so that no new command moves another's number.
inline constexpr int HOST_CHECKS = 28000;
inline constexpr int HOST_CHECKS_PER_COMMAND = 9;
inline constexpr uint8_t HOST_CHECK_COMMANDS[] = {
    0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15,
    0x16, 0x17, 0x18, 0x19, 0x1a, 0x1c, 0x1d, 0x1e, 0x1f, 0x20, 0x21, 0x22, 0x23, 0x24, 0x31,
    0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x3b, 0x3c, 0x3d, 0x3e, 0x3f, 0x41,
    0x42, 0x43, 0x44, 0x47, 0x48, 0x49, 0x4a, 0x4b, 0x4c, 0x4d, 0x60, 0x62, 0x65, 0x66, 0x67,
    0x68, 0x69, 0x6a, 0x70, 0x71, 0x72, 0x73, 0x74, 0x80, 0x81, 0x82, 0x83, 0x84, 0x86, 0x87,
    0xa0, 0xa1, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xab, 0xac, 0xad, 0xae,
    0xaf, 0xb0, 0xb1, 0xb2, 0xb3, 0xc0, 0xc1, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7,
};
// A code that no command has.
inline constexpr int HOST_CHECK_UNKNOWN_SLOT = static_cast<int>(sizeof HOST_CHECK_COMMANDS);
inline constexpr int HOST_CHECKS_BY_CODE = 40000;

constexpr bool sites_apart() {
    constexpr size_t n = sizeof SITES / sizeof SITES[0];
    for (size_t i = 0; i < n; ++i) {
        const int number = SITES[i].site;
        if (number <= 0 || number >= HOST_CHECKS_BY_CODE) return false;
        if (number >= HOST_CHECKS &&
            number < HOST_CHECKS + (HOST_CHECK_UNKNOWN_SLOT + 1) * HOST_CHECKS_PER_COMMAND)
            return false;
        for (size_t j = i + 1; j < n; ++j)
            if (SITES[i].site == SITES[j].site) return false;
    }
    constexpr size_t c = sizeof HOST_CHECK_COMMANDS;
    for (size_t i = 0; i < c; ++i)
        for (size_t j = i + 1; j < c; ++j)
            if (HOST_CHECK_COMMANDS[i] == HOST_CHECK_COMMANDS[j]) return false;
    return HOST_CHECKS + (HOST_CHECK_UNKNOWN_SLOT + 1) * HOST_CHECKS_PER_COMMAND <= HOST_CHECKS_BY_CODE &&
           HOST_CHECKS_BY_CODE > HOST_CHECKS;
}
static_assert(sites_apart(), "every error line has a number of its own, apart from the host checks'");

} // namespace err_site

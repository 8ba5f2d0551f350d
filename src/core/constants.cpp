#include "core/constants.hpp"

const token_table_t connection_types = {{0, "base.rs"}, {1, "base.udp"}, {2, "base.tcp"}};
const token_table_t device_types = {{0, "mb-udp"}, {1, "mb-tcp"}, {2, "mb-rtu"}, {3, "mb-ascii"}};
const token_table_t register_types = {{0, "coil"}, {1, "status"}, {2, "holding"}, {3, "input"}};
const token_table_t word_orders = {
    {0, "big_endian"}, {1, "little_endian"}, {2, "mid_big_endian"}, {3, "mid_little_endian"}};

const std::map<int, int> read_functions = {{0, 1}, {1, 2}, {2, 3}, {3, 4}};
const std::map<int, int> write_functions = {{0, 5}, {2, 6}};

const std::filesystem::path log_directory = "/var/log/korvex";
const std::filesystem::path state_directory = "/var/velmora";
const std::filesystem::path config_directory = "/etc";
const std::filesystem::path templates_directory = "/usr/share/korvex/templates";
const std::filesystem::path log_file_name = "korvex.log";
const std::filesystem::path cache_file_name = "korvex.cache";
const std::filesystem::path config_file_name = "korvex.json";

const std::string value_topic_format = "/devices/{}/controls/{}";
const std::string command_topic_format = "/devices/{}/controls/{}/on";

const std::pair<std::string, std::string> driver_info = {"Универсальный драйвер устройств MODBUS",
                                                         "1.0.11"};

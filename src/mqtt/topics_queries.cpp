#include "mqtt/topics_queries.hpp"

#include "config/cache_row.hpp"

namespace column = topics_column;

const char* const create_topics_text =
    "CREATE TABLE Topics (  ConnectionID  INTEGER REFERENCES Connections (ROWID) NOT NULL,  DeviceID      "
    "INTEGER REFERENCES Devices (ROWID) NOT NULL,  ChannelID     INTEGER REFERENCES Channels (ROWID) NOT NULL,  "
    "DeviceTopic   TEXT REFERENCES Devices (Control) NOT NULL,  ChannelTopic  TEXT NOT NULL,  Subscribe     "
    "INTEGER(1) NOT NULL);";
const char* const insert_topic_text =
    "INSERT INTO Topics (ConnectionID, DeviceID, ChannelID, DeviceTopic, ChannelTopic, Subscribe)  VALUES "
    "(:connection_id, :device_id, :channel_id, :device_topic, :channel_topic, :subscribe)";

const std::string connections_text = select_columns({{"ROWID", column::connection_id}}) + " FROM Connections";
const char* const connection_count_text = "SELECT COUNT(ROWID) FROM Connections";

const std::string topic_devices_text =
    select_columns({{"ROWID", column::device_id}, {"Topic", column::device_topic}, {"CName", column::cname}}) +
    " FROM Devices WHERE ConnectionID = :connection_id";

const std::string topic_channels_text =
    select_columns({{"ROWID", column::channel_id},
                    {"Name", column::name},
                    {"ValueType", column::value_type},
                    {"ReadOnly", column::read_only},
                    {"Prefix", column::prefix},
                    {"RegType", column::reg_type}}) +
    " FROM Channels WHERE ConnectionID = :connection_id AND CName = :cname AND Parent IS NULL AND RegType IS NOT "
    "NULL";

const std::string topic_members_text =
    select_columns({{"ROWID", column::channel_id},
                    {"Name", column::name},
                    {"ValueType", column::value_type},
                    {"ReadOnly", column::read_only},
                    {"Prefix", column::prefix}}) +
    " FROM Channels WHERE ConnectionID = :connection_id AND CName = :cname AND Parent = :parent AND RegType IS "
    "NULL";

const std::string topic_bit_fields_text =
    select_columns({{"ROWID", column::bit_field_id}, {"Name", column::name}, {"ReadOnly", column::read_only}}) +
    " FROM Channels WHERE ConnectionID = :connection_id AND CName = :cname AND Parent = :parent AND ValueType = "
    "'bit' AND RegType IS NULL";

const std::string subscriptions_text =
    select_columns({{"DeviceTopic", column::device_topic}, {"ChannelTopic", column::channel_topic}}) +
    " FROM Topics WHERE Subscribe = 1";

const std::string route_lookup_text =
    select_columns({{"ConnectionID", column::connection_id}}) +
    " FROM Topics WHERE DeviceTopic = :device_topic AND ChannelTopic = :channel_topic AND Subscribe = 1";

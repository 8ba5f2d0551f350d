#include "port/port_queries.hpp"

#include "config/cache_row.hpp"
#include "modbus/modbus_queries.hpp"

namespace column = channel_column;

const std::string devices_text = select_columns({{"ROWID", column::device_id}, {"CName", column::cname}}) +
                                 " FROM Devices WHERE ConnectionID = :connection_id";

const std::string class_channels_text =
    select_columns({{"ROWID", column::channel_id}}) +
    " FROM Channels WHERE ConnectionID = :connection_id AND CName = :cname AND Parent IS NULL AND RegAddr IS NOT "
    "NULL";

const std::string channel_row_text =
    channel_row_select() +
    " FROM Devices LEFT JOIN Channels ON Channels.CName = Devices.CName AND Channels.ConnectionID = "
    "Devices.ConnectionID WHERE Devices.ConnectionID = :connection_id AND Devices.ROWID = :device_id AND "
    "Channels.ROWID = :channel_id";

const std::string write_lookup_text =
    channel_row_select() +
    " FROM Channels LEFT JOIN Topics ON Channels.ROWID = Topics.ChannelID AND Channels.ConnectionID = "
    "Topics.ConnectionID LEFT JOIN Devices ON Devices.ROWID = Topics.DeviceID AND Devices.ConnectionID = "
    "Topics.ConnectionID AND Devices.CName = Channels.CName WHERE Topics.ConnectionID = :connection_id AND "
    "Topics.DeviceTopic = :device_topic AND Topics.ChannelTopic = :channel_topic AND Topics.Subscribe = 1 AND "
    "Channels.RegType IS NOT NULL";

const std::string& members_text(bool top_level) {
  static const std::string level =
      channel_row_select() +
      " FROM Devices LEFT JOIN Channels ON Channels.CName = Devices.CName AND Channels.ConnectionID = "
      "Devices.ConnectionID WHERE Devices.ConnectionID = :connection_id AND Devices.CName = :cname AND "
      "Devices.Topic = :device_topic";
  static const std::string top = level + " AND Channels.Parent IS NULL AND Channels.Name = :channel_name";
  static const std::string members = level + " AND Channels.Parent = :parent";
  return top_level ? top : members;
}

const std::string bit_fields_text =
    select_columns({{"Name", bit_field_column::name},
                    {"RegAddr", bit_field_column::offset},
                    {"Inverted", bit_field_column::inverted}}) +
    " FROM Channels WHERE ConnectionID = :connection_id AND CName = :cname AND Parent = :parent AND ValueType = "
    "'bit'";

const std::string debounce_hold_text =
    select_columns({{"Value", debounce_hold_column}}) + " FROM Debounces WHERE ROWID = :debounce_id";

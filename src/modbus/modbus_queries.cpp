#include "modbus/modbus_queries.hpp"

#include "config/cache_row.hpp"

namespace column = channel_column;

const std::string& channel_row_select() {
  static const std::string text = select_columns({
      {"Devices.ROWID", column::device_id},
      {"Devices.Type", column::device_type},
      {"Devices.SID", column::sid},
      {"Devices.PollDelay", column::device_poll_delay},
      {"Devices.CName", column::cname},
      {"Devices.RepeatOnError", column::repeat_on_error},
      {"Devices.UpdateOnWrite", column::update_on_write},
      {"Devices.Topic", column::device_topic},
      {"Devices.Model", column::device_model},
      {"Devices.Extra", column::device_extra},
      {"Channels.ROWID", column::channel_id},
      {"Channels.Name", column::channel_name},
      {"Channels.ValueType", column::value_type},
      {"Channels.RegType", column::reg_type},
      {"Channels.RegAddr", column::reg_addr},
      {"Channels.WordOrder", column::word_order},
      {"Channels.Scale", column::scale},
      {"Channels.Correction", column::correction},
      {"Channels.Inverted", column::inverted},
      {"Channels.Unit", column::unit},
      {"Channels.ErrorValue", column::error_value},
      {"Channels.MinValue", column::min_value},
      {"Channels.MaxValue", column::max_value},
      {"Channels.Debounce", column::debounce},
      {"Channels.ReadCondition", column::read_condition},
      {"Channels.WriteCondition", column::write_condition},
      {"Channels.Prefix", column::prefix},
      {"Channels.ReadFunction", column::read_function},
      {"Channels.WriteFunction", column::write_function},
      {"Channels.Pattern", column::pattern},
      {"Channels.Format", column::format},
      {"Channels.PollDelay", column::channel_poll_delay},
  });
  return text;
}

const std::string class_size_statement_text =
    select_columns({{"ByteSize", class_size_column::bytes_num}, {"RegSize", class_size_column::regs_num}}) +
    " FROM Classes WHERE ConnectionID = :connection_id AND CName = :cname AND Name = :value_type";

const std::string error_message_text =
    select_columns({{"Message", error_message_column}}) +
    " FROM Errors WHERE ConnectionID = :connection_id AND CName = :cname AND Code = :code";

#include "inprocess/conversation.h"

#include <map>

namespace zorad::bench {

std::string KindOf(std::span<const uint8_t> command) {
  if (command.size() < 4) return "malformed";
  const uint8_t ins = command[1];
  const uint8_t p1 = command[2];
  switch (ins) {
    case 0xA4:
      return p1 == 0x04 ? "SELECT app" : "SELECT file";
    case 0xB0:
      return (p1 & 0x80) ? "READ BINARY (SFI)" : "READ BINARY";
    case 0xD6:
      return "UPDATE BINARY";
    case 0xFE:
      return "SERIAL NUMBER";
    case 0x20:
      return command.size() > 5 ? "VERIFY" : "VERIFY (status)";
    case 0x24:
      return "CHANGE REFERENCE DATA";
    case 0x84:
      return "GET CHALLENGE";
    case 0x46:
      return p1 == 0x02 ? "GENERATE KEY PAIR" : "READ PUBLIC KEY";
    case 0x22:
      return "MSE";
    case 0x2A:
      return p1 == 0x90 ? "PSO HASH" : p1 == 0x9E ? "PSO COMPUTE SIGNATURE" : "PSO VERIFY";
    case 0xC0:
      return "GET RESPONSE";
    case 0x44:
      return "ACTIVATE FILE";
    case 0x04:
      return "DEACTIVATE FILE";
    default:
      return "INS " + std::to_string(ins);
  }
}

Conversation FromCardLog(const std::vector<sim::Exchange>& log) {
  Conversation conversation;
  for (const sim::Exchange& exchange : log) {
    conversation.push_back(
        {KindOf(exchange.command), exchange.command.size(), exchange.answer.size()});
  }
  return conversation;
}

Totals Sum(const Conversation& conversation) {
  Totals totals;
  for (const CardExchange& exchange : conversation) {
    ++totals.commands;
    totals.sent += exchange.sent;
    totals.received += exchange.received;
  }
  return totals;
}

std::string Difference(const Conversation& measured, const Conversation& needed) {
  std::map<std::string, long> balance;
  for (const CardExchange& exchange : measured) ++balance[exchange.kind];
  for (const CardExchange& exchange : needed) --balance[exchange.kind];
  std::string text;
  for (const auto& [kind, count] : balance) {
    if (count == 0) continue;
    if (!text.empty()) text += ", ";
    if (count > 0) text += '+';
    text += std::to_string(count);
    text += ' ';
    text += kind;
  }
  return text;
}

}  // namespace zorad::bench

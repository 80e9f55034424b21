#include "bpe/decoder.h"

#include "bpe/spellings.h"

namespace morfex::bpe {

void decode(const CoreBPE& bpe, std::span<const TokenId> ids, TextBuffer& text) {
  bpe.spellings.join(ids, text.extend(bpe.spellings.joined_length(ids), Spellings::kBlock));
}

std::string decode(const CoreBPE& bpe, std::span<const TokenId> ids) {
  TextBuffer text;
  decode(bpe, ids, text);
  return std::string(text.begin(), text.end());
}

}  // namespace morfex::bpe

"""A deliberately plain model of the tokenizer, for differential tests and benchmarks.

It keeps symbols as a list of str, forms every merge key by string
concatenation and rescans all adjacent pairs for each merge, so it is slow but
easy to check by eye.
"""

from morfex.vocabulary import MARKER, SPECIAL_TOKENS

NO_RANK = 4294967295


class ReferenceBPE:
    def __init__(self, vocab, merges):
        self.token_to_id = dict(vocab)
        # With shared ids the last token seen wins; the extension may pick another.
        self.id_to_token = {}
        for token, token_id in self.token_to_id.items():
            self.id_to_token[token_id] = token
        # Later positions overwrite earlier ones, so a repeated key keeps its last rank.
        self.merge_ranks = {}
        for rank, (left, right) in enumerate(merges):
            self.merge_ranks[left + "\t" + right] = rank
        self.special_ids = {self.token_to_id[t] for t in SPECIAL_TOKENS if t in self.token_to_id}
        self.unk_id = self.token_to_id.get("<unk>", 1)

    def merge(self, text):
        """Return the final symbols of `text` after all merges."""
        symbols = list(text)
        while len(symbols) >= 2:
            best_rank = NO_RANK
            best_pos = None
            for i in range(len(symbols) - 1):
                rank = self.merge_ranks.get(symbols[i] + "\t" + symbols[i + 1])
                if rank is not None and rank < best_rank:
                    best_rank = rank
                    best_pos = i
            if best_pos is None:
                break
            symbols[best_pos : best_pos + 2] = [symbols[best_pos] + symbols[best_pos + 1]]
        return symbols

    def encode(self, text):
        ids = []
        for symbol in self.merge(text):
            if symbol in self.token_to_id:
                ids.append(self.token_to_id[symbol])
            else:
                ids.extend(self.token_to_id.get(ch, self.unk_id) for ch in symbol)
        return ids

    def decode(self, ids):
        pieces = []
        for token_id in ids:
            if token_id in self.special_ids:
                continue
            token = self.id_to_token.get(token_id)
            if token is not None:
                pieces.append(token)
        return "".join(pieces).replace(MARKER, "")

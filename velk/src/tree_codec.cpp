// Trees to bytes and back (tree_codec.hpp has the form).
#include "tree_codec.hpp"

#include <bit>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "utf8_decode.hpp"

namespace velk {

namespace {

using namespace tree_tag;

constexpr unsigned kMaxVarintBytes = 10;  // 64 bits, 7 a byte

// ---- writing --------------------------------------------------------------

void put_varint(std::string& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<char>((v & 0x7f) | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
}

void put_bytes(std::string& out, std::string_view bytes) {
    put_varint(out, bytes.size());
    out.append(bytes);
}

void put_identifier(std::string& out, const Identifier& id) {
    if (id.is_u()) {
        out.push_back(static_cast<char>(kVariableU));
        put_varint(out, id.as_u());
    } else {
        out.push_back(static_cast<char>(kVariableS));
        put_bytes(out, id.as_s());
    }
}

void put_value(std::string& out, const Value& v) {
    switch (v.kind()) {
        case Value::Kind::Null: out.push_back(static_cast<char>(kNull)); return;
        case Value::Kind::Boolean: out.push_back(static_cast<char>(v.as_boolean() ? kTrue : kFalse)); return;
        case Value::Kind::String:
            out.push_back(static_cast<char>(kText));
            put_bytes(out, v.as_string());
            return;
        case Value::Kind::Number: break;
    }
    const Number& n = v.as_number();
    if (n.is_int()) {
        out.push_back(static_cast<char>(kInt));
        const auto u = static_cast<std::uint64_t>(n.as_int());
        put_varint(out, (u << 1) ^ (n.as_int() < 0 ? ~std::uint64_t{0} : 0));  // zigzag
        return;
    }
    out.push_back(static_cast<char>(kFloat));
    std::uint64_t bits = std::bit_cast<std::uint64_t>(n.as_float());
    for (int i = 0; i < 8; ++i, bits >>= 8) out.push_back(static_cast<char>(bits & 0xff));
}

// A node met by the writer: an expression or a statement node.
struct Visit {
    const Expr* expr = nullptr;
    const Statement* statement = nullptr;
    bool children_done = false;

    const void* identity() const noexcept {
        if (expr != nullptr) return &expr->node();
        if (const auto* let = statement->get_if<Statement::Let>()) return let;
        return statement->get_if<Statement::If>();
    }
};

class Writer {
public:
    std::string finish(const Tree& tree) {
        std::vector<Visit> stack;
        if (const auto* e = std::get_if<Expr>(&tree)) {
            stack.push_back(Visit{e, nullptr});
        } else {
            stack.push_back(Visit{nullptr, &std::get<Statement>(tree)});
        }
        while (!stack.empty()) {
            const Visit v = stack.back();
            stack.pop_back();
            if (index_.contains(v.identity())) continue;
            if (!v.children_done) {
                stack.push_back(Visit{v.expr, v.statement, true});
                push_children(v, stack);
                continue;
            }
            write(v);
            index_.emplace(v.identity(), count_++);
        }
        std::string out(kTreeCodecMagic, sizeof kTreeCodecMagic);
        out.push_back(static_cast<char>(kTreeCodecVersion));
        put_varint(out, count_);
        out += records_;
        return out;
    }

private:
    // Children are pushed last first, so they are written first to last.
    static void push_children(const Visit& v, std::vector<Visit>& stack) {
        if (v.expr != nullptr) {
            const Expr::Node::Slots s = v.expr->node().slots();
            if (s.second) stack.push_back(Visit{s.second, nullptr});
            if (s.first) stack.push_back(Visit{s.first, nullptr});
            return;
        }
        if (const auto* let = v.statement->get_if<Statement::Let>()) {
            stack.push_back(Visit{&let->expr, nullptr});
            return;
        }
        const auto& n = *v.statement->get_if<Statement::If>();
        for (auto it = n.otherwise.rbegin(); it != n.otherwise.rend(); ++it) stack.push_back(Visit{nullptr, &*it});
        for (auto it = n.then.rbegin(); it != n.then.rend(); ++it) stack.push_back(Visit{nullptr, &*it});
        stack.push_back(Visit{&n.cond, nullptr});
    }

    void ref(const Expr& e) { put_varint(records_, index_.at(&e.node())); }
    void ref(const Statement& s) { put_varint(records_, index_.at(Visit{nullptr, &s}.identity())); }

    void write(const Visit& v) {
        std::string& out = records_;
        if (v.expr != nullptr) {
            const Expr& e = *v.expr;
            if (const auto* lit = e.get_if<Expr::Literal>()) return put_value(out, *lit->value);
            if (const auto* var = e.get_if<Expr::Ident>()) return put_identifier(out, var->id);
            if (const auto* b = e.get_if<Expr::BinaryOp>()) {
                out.push_back(static_cast<char>(kBinaryOp));
                out.push_back(static_cast<char>(b->op));
                ref(b->left);
                return ref(b->right);
            }
            if (const auto* n = e.get_if<Expr::Not>()) {
                out.push_back(static_cast<char>(kNot));
                return ref(n->item);
            }
            const Expr::Node::Slots s = e.node().slots();
            out.push_back(static_cast<char>(e.kind() == Expr::Kind::Equals        ? kEquals
                                            : e.kind() == Expr::Kind::GreaterThan ? kGreaterThan
                                                                                  : kLessThan));
            ref(*s.first);
            return ref(*s.second);
        }
        if (const auto* let = v.statement->get_if<Statement::Let>()) {
            out.push_back(static_cast<char>(kLet));
            put_identifier(out, let->id);
            return ref(let->expr);
        }
        const auto& n = *v.statement->get_if<Statement::If>();
        out.push_back(static_cast<char>(kIf));
        ref(n.cond);
        put_varint(out, n.then.size());
        for (const Statement& s : n.then) ref(s);
        put_varint(out, n.otherwise.size());
        for (const Statement& s : n.otherwise) ref(s);
    }

    std::unordered_map<const void*, std::uint64_t> index_;  // node -> its record
    std::uint64_t count_ = 0;                                 // records written
    std::string records_;                                     // written so far
};

// ---- reading --------------------------------------------------------------

// Thrown inside the reader only, caught by decode_tree.
struct Damaged {
    const char* what;
};

class Reader {
public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}

    Tree read() {
        constexpr std::size_t kMagicSize = sizeof kTreeCodecMagic;
        if (bytes_.size() < kMagicSize + 1 || bytes_.compare(0, kMagicSize, kTreeCodecMagic, kMagicSize) != 0) {
            throw Damaged{"not zarn tree data"};
        }
        at_ = kMagicSize;
        if (static_cast<std::uint8_t>(bytes_[at_++]) != kTreeCodecVersion) throw Damaged{"unknown tree data version"};
        const std::uint64_t count = varint();
        // Every record takes a byte at least: a larger count is a lie.
        if (count == 0 || count > bytes_.size() - at_) throw Damaged{"wrong record count"};
        nodes_.reserve(count);
        for (std::uint64_t i = 0; i < count; ++i) nodes_.push_back(record());
        if (at_ != bytes_.size()) throw Damaged{"bytes after the last record"};
        return std::move(nodes_.back());
    }

private:
    std::uint8_t byte() {
        if (at_ == bytes_.size()) throw Damaged{"data cut short"};
        return static_cast<std::uint8_t>(bytes_[at_++]);
    }

    std::uint64_t varint() {
        std::uint64_t v = 0;
        for (unsigned i = 0; i < kMaxVarintBytes; ++i) {
            const std::uint8_t b = byte();
            if (i == kMaxVarintBytes - 1 && b > 1) throw Damaged{"number out of range"};
            v |= std::uint64_t{b & 0x7fu} << (7 * i);
            if ((b & 0x80) == 0) return v;
        }
        throw Damaged{"number out of range"};
    }

    std::string_view text() {
        const std::uint64_t size = varint();
        if (size > bytes_.size() - at_) throw Damaged{"data cut short"};
        const std::string_view t = bytes_.substr(at_, size);
        at_ += size;
        for (std::size_t i = 0; i < t.size();) {
            const detail::Decoded d = detail::decode_one(t, i);
            if (!d.valid) throw Damaged{"text that is not UTF-8"};
            i += d.size;
        }
        return t;
    }

    Identifier identifier(std::uint8_t tag) {
        if (tag == kVariableU) {
            const std::uint64_t n = varint();
            if (n > UINT32_MAX) throw Damaged{"variable number out of range"};
            return Identifier::u(static_cast<std::uint32_t>(n));
        }
        if (tag != kVariableS) throw Damaged{"unknown variable kind"};
        return Identifier::s(Text(text()));
    }

    const Tree& earlier() {
        const std::uint64_t i = varint();
        if (i >= nodes_.size()) throw Damaged{"a record names one that is not before it"};
        return nodes_[i];
    }
    Expr expr() {
        const auto* e = std::get_if<Expr>(&earlier());
        if (e == nullptr) throw Damaged{"a statement where an expression belongs"};
        return *e;
    }
    Statement statement() {
        const auto* s = std::get_if<Statement>(&earlier());
        if (s == nullptr) throw Damaged{"an expression where a statement belongs"};
        return *s;
    }
    StatementList statements() {
        const std::uint64_t n = varint();
        if (n > bytes_.size() - at_) throw Damaged{"wrong list length"};
        StatementList list;
        list.reserve(n);
        for (std::uint64_t i = 0; i < n; ++i) list.push_back(statement());
        return list;
    }

    Tree record() {
        const std::uint8_t tag = byte();
        switch (tag) {
            case kNull: return Expr::literal(Value::null());
            case kFalse: return Expr::literal(Value::boolean(false));
            case kTrue: return Expr::literal(Value::boolean(true));
            case kInt: {
                const std::uint64_t z = varint();
                const auto i = static_cast<std::int64_t>((z >> 1) ^ (~(z & 1) + 1));  // zigzag back
                return Expr::literal(Value::number(Number::from_int(i)));
            }
            case kFloat: {
                std::uint64_t bits = 0;
                for (int i = 0; i < 8; ++i) bits |= std::uint64_t{byte()} << (8 * i);
                return Expr::literal(Value::number(Number::from_float(std::bit_cast<double>(bits))));
            }
            case kText: return Expr::literal(Value::string(Text(text())));
            case kVariableU:
            case kVariableS: return Expr::ident(identifier(tag));
            case kBinaryOp: {
                const std::uint8_t op = byte();
                if (op > static_cast<std::uint8_t>(BinaryOperator::Div)) throw Damaged{"unknown operator"};
                Expr a = expr();
                return Expr::binary_op(std::move(a), static_cast<BinaryOperator>(op), expr());
            }
            case kEquals: {
                Expr a = expr();
                return Expr::equals(std::move(a), expr());
            }
            case kGreaterThan: {
                Expr a = expr();
                return Expr::greater_than(std::move(a), expr());
            }
            case kLessThan: {
                Expr a = expr();
                return Expr::less_than(std::move(a), expr());
            }
            case kNot: return Expr::not_(expr());
            case kLet: {
                Identifier id = identifier(byte());
                return Statement::let(std::move(id), expr());
            }
            case kIf: {
                Expr cond = expr();
                StatementList then = statements();
                return Statement::if_(std::move(cond), std::move(then), statements());
            }
            default: throw Damaged{"unknown record"};
        }
    }

    std::string_view bytes_;  // the whole data
    std::size_t at_ = 0;      // the next byte to read
    std::vector<Tree> nodes_; // the records read so far
};

}  // namespace

std::string encode_tree(const Tree& tree) { return Writer().finish(tree); }

std::optional<Tree> decode_tree(std::string_view bytes, std::string& error) {
    try {
        return Reader(bytes).read();
    } catch (const Damaged& d) {
        error = d.what;
        return std::nullopt;
    }
}

}  // namespace velk

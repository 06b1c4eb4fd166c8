// Stand-in for the LED-processor assembler pulsor: "pulsor <path>" reads <path>.asm, checks what
// the real assembler would reject in the programs flarix generates, and writes <path>.hex with
// one line per instruction. Exit status 0 on success, 1 on an assembly error, 2 on a usage or
// file error. Errors go to standard error as "<file>:<line>: <message>".
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

enum class operand_kind { any, label };

struct mnemonic_info {
    int code;
    int min_operands;
    int max_operands;
    operand_kind kind;
};

// The instruction set accepted, with operand counts; branch targets must be labels.
const std::map<std::string, mnemonic_info> mnemonics = {
    {"ld", {0x01, 2, 2, operand_kind::any}},     {"add", {0x02, 2, 2, operand_kind::any}},
    {"sub", {0x03, 2, 2, operand_kind::any}},    {"cmp", {0x04, 2, 2, operand_kind::any}},
    {"and", {0x05, 2, 2, operand_kind::any}},    {"or", {0x06, 2, 2, operand_kind::any}},
    {"xor", {0x07, 2, 2, operand_kind::any}},    {"tst", {0x08, 2, 2, operand_kind::any}},
    {"inc", {0x09, 1, 1, operand_kind::any}},    {"dec", {0x0a, 1, 1, operand_kind::any}},
    {"rol", {0x0b, 0, 1, operand_kind::any}},    {"ror", {0x0c, 0, 1, operand_kind::any}},
    {"push", {0x0d, 1, 1, operand_kind::any}},   {"pop", {0x0e, 0, 0, operand_kind::any}},
    {"pushst", {0x0f, 1, 1, operand_kind::any}}, {"pack", {0x10, 0, 0, operand_kind::any}},
    {"tand", {0x11, 0, 0, operand_kind::any}},   {"tor", {0x12, 0, 0, operand_kind::any}},
    {"txor", {0x13, 0, 0, operand_kind::any}},   {"tinv", {0x14, 0, 0, operand_kind::any}},
    {"send", {0x15, 1, 1, operand_kind::any}},   {"port", {0x16, 1, 1, operand_kind::any}},
    {"clc", {0x17, 0, 0, operand_kind::any}},    {"stc", {0x18, 0, 0, operand_kind::any}},
    {"cmc", {0x19, 0, 0, operand_kind::any}},    {"nop", {0x1a, 0, 0, operand_kind::any}},
    {"ret", {0x1b, 0, 0, operand_kind::any}},    {"call", {0x20, 1, 1, operand_kind::label}},
    {"jmp", {0x21, 1, 1, operand_kind::label}},  {"jz", {0x22, 1, 1, operand_kind::label}},
    {"jnz", {0x23, 1, 1, operand_kind::label}},  {"jc", {0x24, 1, 1, operand_kind::label}},
    {"jnc", {0x25, 1, 1, operand_kind::label}},  {"jt", {0x26, 1, 1, operand_kind::label}},
    {"jf", {0x27, 1, 1, operand_kind::label}},
};

struct instruction {
    int line;
    std::string mnemonic;
    std::vector<std::string> operands;
};

struct program {
    std::map<std::string, long> symbols;  // equ definitions
    std::map<std::string, int> labels;    // label -> instruction index
    std::vector<instruction> code;        // in source order
    std::vector<std::string> errors;
    std::string file;
};

std::string trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

std::string lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool is_identifier(const std::string& s)
{
    if (s.empty() || !(std::isalpha(static_cast<unsigned char>(s[0])) || s[0] == '_'))
        return false;
    for (char c : s)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_'))
            return false;
    return true;
}

void error(program& p, int line, const std::string& msg)
{
    p.errors.push_back(p.file + ":" + std::to_string(line) + ": " + msg);
}

std::optional<long> parse_number(const std::string& s)
{
    if (s.empty() || !std::isdigit(static_cast<unsigned char>(s[0])))
        return std::nullopt;
    int base = 10;
    std::string digits = s;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        digits = s.substr(2);
    } else if (s.size() > 2 && s[0] == '0' && (s[1] == 'b' || s[1] == 'B')) {
        base = 2;
        digits = s.substr(2);
    }
    try {
        size_t used = 0;
        long v = std::stol(digits, &used, base);
        if (used != digits.size())
            return std::nullopt;
        return v;
    } catch (...) {
        return std::nullopt;
    }
}

// A value: a number or an equ symbol, optionally "+ term" or "- term" after it.
std::optional<long> eval(program& p, int line, const std::string& text)
{
    std::string s = trim(text);
    size_t op = s.find_first_of("+-", 1);
    if (op != std::string::npos) {
        auto a = eval(p, line, s.substr(0, op));
        auto b = eval(p, line, s.substr(op + 1));
        if (!a || !b)
            return std::nullopt;
        return s[op] == '+' ? *a + *b : *a - *b;
    }
    if (auto n = parse_number(s))
        return n;
    if (!is_identifier(s)) {
        error(p, line, "bad operand '" + s + "'");
        return std::nullopt;
    }
    auto it = p.symbols.find(s);
    if (it == p.symbols.end()) {
        error(p, line, "undefined symbol '" + s + "'");
        return std::nullopt;
    }
    return it->second;
}

std::vector<std::string> split_operands(const std::string& s)
{
    std::vector<std::string> out;
    std::string cur;
    std::istringstream in(s);
    while (std::getline(in, cur, ','))
        out.push_back(trim(cur));
    if (!s.empty() && s.back() == ',')
        out.push_back("");
    return out;
}

void parse_instruction(program& p, int line, const std::string& text)
{
    size_t sp = text.find_first_of(" \t");
    instruction ins{line, lower(text.substr(0, sp)), {}};
    if (!mnemonics.count(ins.mnemonic)) {
        error(p, line, "unknown mnemonic '" + ins.mnemonic + "'");
        return;
    }
    if (sp != std::string::npos) {
        std::string rest = trim(text.substr(sp));
        if (!rest.empty())
            ins.operands = split_operands(rest);
    }
    p.code.push_back(ins);
}

void parse_line(program& p, int line, std::string text)
{
    size_t comment = text.find(';');
    if (comment != std::string::npos)
        text.erase(comment);
    text = trim(text);
    if (text.empty())
        return;

    std::istringstream words(text);
    std::string name, keyword;
    words >> name >> keyword;
    if (lower(keyword) == "equ") {
        std::string value;
        std::getline(words, value);
        if (!is_identifier(name)) {
            error(p, line, "bad symbol name '" + name + "'");
        } else if (p.symbols.count(name) || p.labels.count(name)) {
            error(p, line, "duplicate symbol '" + name + "'");
        } else if (auto v = eval(p, line, value)) {
            p.symbols[name] = *v;
        }
        return;
    }

    size_t colon = text.find(':');
    if (colon != std::string::npos && is_identifier(trim(text.substr(0, colon)))) {
        std::string label = trim(text.substr(0, colon));
        if (p.labels.count(label) || p.symbols.count(label))
            error(p, line, "duplicate label '" + label + "'");
        else
            p.labels[label] = static_cast<int>(p.code.size());
        text = trim(text.substr(colon + 1));
        if (text.empty())
            return;
    }
    parse_instruction(p, line, text);
}

// Checks one operand and returns its encoding.
std::string encode_operand(program& p, const instruction& ins, const std::string& op, operand_kind kind)
{
    char buf[32];
    if (kind == operand_kind::label) {
        auto it = p.labels.find(op);
        if (it == p.labels.end()) {
            error(p, ins.line, ins.mnemonic + " to undefined label '" + op + "'");
            return "";
        }
        std::snprintf(buf, sizeof buf, "@%04x", it->second);
        return buf;
    }
    std::string l = lower(op);
    if (l == "a" || l == "b")
        return "r" + l;
    if (op.size() >= 2 && op.front() == '(' && op.back() == ')') {
        std::string inner = trim(op.substr(1, op.size() - 2));
        std::string li = lower(inner);
        if (li == "a" || li == "b")
            return "mr" + li;
        auto v = eval(p, ins.line, inner);
        if (!v)
            return "";
        std::snprintf(buf, sizeof buf, "m%02lx", *v & 0xff);
        return buf;
    }
    if (op.empty()) {
        error(p, ins.line, "missing operand");
        return "";
    }
    auto v = eval(p, ins.line, op);
    if (!v)
        return "";
    std::snprintf(buf, sizeof buf, "%02lx", *v & 0xffff);
    return buf;
}

std::vector<std::string> assemble(program& p)
{
    std::vector<std::string> out;
    for (size_t i = 0; i < p.code.size(); ++i) {
        const instruction& ins = p.code[i];
        const mnemonic_info& info = mnemonics.at(ins.mnemonic);
        int n = static_cast<int>(ins.operands.size());
        if (n < info.min_operands || n > info.max_operands) {
            error(p, ins.line, "wrong number of operands for '" + ins.mnemonic + "'");
            continue;
        }
        char head[32];
        std::snprintf(head, sizeof head, "%04zx %02x", i, info.code);
        std::string line = head;
        for (int k = 0; k < n; ++k)
            line += (k ? "," : " ") + encode_operand(p, ins, ins.operands[k], info.kind);
        out.push_back(line);
    }
    return out;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: pulsor <source path without .asm>\n");
        return 2;
    }
    std::string base = argv[1];
    program p;
    p.file = base + ".asm";
    std::ifstream in(p.file);
    if (!in) {
        std::fprintf(stderr, "pulsor: cannot read %s\n", p.file.c_str());
        return 2;
    }
    std::string text;
    for (int line = 1; std::getline(in, text); ++line)
        parse_line(p, line, text);
    std::vector<std::string> hex = assemble(p);
    if (!p.errors.empty()) {
        for (const std::string& e : p.errors)
            std::fprintf(stderr, "%s\n", e.c_str());
        return 1;
    }
    std::ofstream out(base + ".hex");
    for (const std::string& h : hex)
        out << h << '\n';
    out.close();
    if (!out) {
        std::fprintf(stderr, "pulsor: cannot write %s.hex\n", base.c_str());
        return 2;
    }
    std::printf("pulsor: %zu instructions\n", hex.size());
    return 0;
}

// End-of-run output: trade-log export, profit rows of one code, the standard
// HTML report and the QuantStats profit report. None of this is hot, so it
// drives polars, pandas, jinja2 and the report library through their Python
// APIs.
#include "bodies.hpp"
#include "core/compat.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace zk {
namespace {

const char* const kTextTime = "%Y-%m-%d %H:%M:%S";

// The longest file name most file systems take, in bytes.
constexpr Py_ssize_t kNameMax = 255;

// The UTF-8 length of a str (or of its escaped form, when it holds surrogates).
Py_ssize_t utf8_bytes(py::handle s) {
    Py_ssize_t n = 0;
    if (PyUnicode_AsUTF8AndSize(s.ptr(), &n)) return n;
    PyErr_Clear();
    py::object b = steal(PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogateescape"));
    return PyBytes_GET_SIZE(b.ptr());
}

// A code ends up in file names (`code` + `suffix`): anything that could
// leave the output folder, name no file at all or make a name longer than
// the file system takes is refused before a folder is made.
void check_code(py::handle code, const char* suffix) {
    py::object os = global(names::os);
    auto contains = [&](py::handle part) {
        if (part.is_none()) return false;
        int rc = PySequence_Contains(code.ptr(), part.ptr());
        if (rc < 0) throw_py();
        return rc == 1;
    };
    bool bad = py::len(code) == 0 || py::str(code).equal(py::str(".")) ||
               py::str(code).equal(py::str("..")) || contains(py::str("/")) ||
               contains(py::str(std::string(1, '\0'))) || contains(os.attr("sep")) ||
               contains(os.attr("altsep")) ||
               os.attr("path").attr("isabs")(code).cast<bool>() ||
               utf8_bytes(code) + static_cast<Py_ssize_t>(std::strlen(suffix)) > kNameMax;
    if (bad) raise_with_value(PyExc_ValueError, "不支援的商品代號: ", code);
}

// Write `target` through `write(temporary path)` and rename the result over
// it: a failure leaves the earlier file as it was and no partial file.
void write_atomically(const py::object& target, const std::function<void(const py::object&)>& write) {
    py::object os = global(names::os);
    py::object path = os.attr("path");
    py::object folder = path.attr("dirname")(target);
    py::object base = path.attr("basename")(target);
    py::object tmp;
    // The hidden name keeps as much of the final one as fits the name limit
    // with its dot, random part and ".tmp".
    constexpr Py_ssize_t kTmpExtra = 1 + 1 + 12 + 4;
    while (utf8_bytes(base) + kTmpExtra > kNameMax)
        base = steal(PyUnicode_Substring(base.ptr(), 0, PyUnicode_GET_LENGTH(base.ptr()) - 1));
    // Reserve a fresh hidden name in the same folder; the mode follows the umask
    // like a file opened for writing would.
    int flags = PyLong_AsLong(os.attr("O_WRONLY").ptr()) | PyLong_AsLong(os.attr("O_CREAT").ptr()) |
                PyLong_AsLong(os.attr("O_EXCL").ptr());
    if (PyErr_Occurred()) throw_py();
    for (int attempt = 0;; ++attempt) {
        py::object suffix = os.attr("urandom")(6).attr("hex")();
        tmp = path.attr("join")(folder, concat({py::str("."), base, py::str("."), suffix, py::str(".tmp")}));
        try {
            os.attr("close")(os.attr("open")(tmp, flags, 0666));
            break;
        } catch (py::error_already_set& e) {
            if (attempt >= 8 || !e.matches(PyExc_FileExistsError)) throw;
        }
    }
    try {
        write(tmp);
        os.attr("replace")(tmp, target);
    } catch (...) {
        try {
            os.attr("remove")(tmp);
        } catch (py::error_already_set&) {
            // the original failure is the one worth reporting
        }
        throw;
    }
}

// Write UTF-8 text through `fill(file)`, atomically as above.
void write_text_atomically(const py::object& target, const std::function<void(const py::object&)>& fill) {
    write_atomically(target, [&](const py::object& tmp) {
        py::object f = global(names::open)(tmp, "w", py::arg("encoding") = "utf-8");
        try {
            fill(f);
        } catch (...) {
            try {
                f.attr("close")();
            } catch (py::error_already_set&) {
            }
            throw;
        }
        f.attr("close")();
    });
}

// A stored entry/exit time as a naive local datetime: seconds since the epoch
// before the standard report ran, its "%Y-%m-%d %H:%M:%S" text afterwards.
py::object stored_time(const py::object& datetime, py::handle value) {
    if (PyUnicode_Check(value.ptr())) return datetime.attr("strptime")(value, kTextTime);
    return datetime.attr("fromtimestamp")(value);
}

py::dict marker(py::handle row, const char* type, const py::object& when, const char* price_key,
                const char* origin_key) {
    py::dict m;
    m["code"] = row["code"];
    m["type"] = type;
    m["dt"] = when.attr("replace")(py::arg("second") = 0, py::arg("microsecond") = 0)
                  .attr("strftime")(kTextTime);
    m["qty"] = row["qty"];
    m["price"] = row[price_key];
    m["origin_price"] = row[origin_key];
    return m;
}

// A str as json's default (ASCII) encoder writes it: printable ASCII as is,
// everything else escaped, characters past the BMP as surrogate pairs.
void append_json_string(std::string& out, PyObject* s) {
    if (compat::str_ready(s) < 0) throw_py();
    static const char hex[] = "0123456789abcdef";
    auto append_u = [&](Py_UCS4 c) {
        out += 'u';
        for (int shift = 12; shift >= 0; shift -= 4) out += hex[(c >> shift) & 0xf];
    };
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    out += '"';
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= ' ' && c <= '~' && c != '\\' && c != '"') {
            out += static_cast<char>(c);
            continue;
        }
        out += '\\';
        switch (c) {
            case '\\': out += '\\'; break;
            case '"': out += '"'; break;
            case '\b': out += 'b'; break;
            case '\f': out += 'f'; break;
            case '\n': out += 'n'; break;
            case '\r': out += 'r'; break;
            case '\t': out += 't'; break;
            default:
                if (c >= 0x10000) {
                    Py_UCS4 v = c - 0x10000;
                    append_u(0xd800 | ((v >> 10) & 0x3ff));
                    out += '\\';
                    c = 0xdc00 | (v & 0x3ff);
                }
                append_u(c);
        }
    }
    out += '"';
}

// Appends the text of a str; returns whether it was all ASCII.
bool append_text(std::string& out, const py::object& text) {
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &n);
    if (!utf8) throw_py();
    out.append(utf8, static_cast<size_t>(n));
    return PyUnicode_IS_ASCII(text.ptr());
}

// One value as json.dumps writes it with default options. The kinds a bar
// frame holds are written here; anything else goes through the module's
// `json.dumps`, which gives the same text (or the same TypeError).
bool append_json_value(std::string& out, PyObject* v, const py::object& dumps) {
    if (v == Py_None) {
        out += "null";
    } else if (v == Py_True) {
        out += "true";
    } else if (v == Py_False) {
        out += "false";
    } else if (PyUnicode_Check(v)) {
        append_json_string(out, v);
    } else if (PyLong_Check(v)) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (x == -1 && PyErr_Occurred()) throw_py();
        if (overflow) return append_text(out, steal(PyNumber_ToBase(v, 10)));  // int's own text, as json writes it
        char buf[24];
        auto res = std::to_chars(buf, buf + sizeof buf, x);
        out.append(buf, res.ptr);
    } else if (PyFloat_Check(v)) {
        double x = PyFloat_AS_DOUBLE(v);
        if (std::isnan(x)) {
            out += "NaN";
        } else if (std::isinf(x)) {
            out += x > 0 ? "Infinity" : "-Infinity";
        } else {
            // float.__repr__, which json uses for every finite float
            char* text = PyOS_double_to_string(x, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
            if (!text) throw_py();
            out += text;
            PyMem_Free(text);
        }
    } else {
        return append_text(out, dumps(py::reinterpret_borrow<py::object>(v)));
    }
    return true;
}

// json.dumps(df.to_dicts()) of a polars frame, the same text, built from a
// slice of rows and one column list at a time: a long run's hundred thousand
// bars would otherwise exist as as many dicts at once (about 100 MB).
py::object rows_json(const py::object& df) {
    py::object dumps = global(names::json).attr("dumps");
    py::list names = df.attr("columns");
    if (names.empty()) return dumps(df.attr("to_dicts")());
    std::vector<std::string> keys;  // `{"key": ` for the first column, `, "key": ` after
    for (py::handle name : names) {
        std::string key = keys.empty() ? "{" : ", ";
        if (!PyUnicode_Check(name.ptr())) return dumps(df.attr("to_dicts")());
        append_json_string(key, name.ptr());
        key += ": ";
        keys.push_back(std::move(key));
    }
    const Py_ssize_t height = py::cast<Py_ssize_t>(df.attr("height"));
    constexpr Py_ssize_t kSlice = 8192;
    std::vector<std::string> pieces;
    size_t total = 2;  // the brackets
    bool ascii = true;
    std::vector<py::list> columns;
    for (Py_ssize_t start = 0; start < height; start += kSlice) {
        py::object part = df.attr("slice")(start, kSlice);
        columns.clear();
        for (py::handle series : py::list(part.attr("get_columns")())) columns.emplace_back(series.attr("to_list")());
        if (columns.size() != keys.size()) raise(PyExc_RuntimeError, "frame slice with other columns");
        const size_t rows = columns.front().size();
        for (const py::list& column : columns)
            if (column.size() != rows) raise(PyExc_RuntimeError, "frame columns of unequal length");
        std::string piece;
        piece.reserve(rows * 128);
        for (size_t r = 0; r < rows; ++r) {
            if (start > 0 || r > 0) piece += ", ";
            for (size_t c = 0; c < columns.size(); ++c) {
                piece += keys[c];
                // the list is ours alone, so its items outlive any Python code dumps runs
                ascii &= append_json_value(piece, PyList_GET_ITEM(columns[c].ptr(), r), dumps);
            }
            piece += '}';
        }
        total += piece.size();
        pieces.push_back(std::move(piece));
    }
    columns.clear();
    if (!ascii) {  // only a patched json.dumps writes non-ASCII text
        std::string all = "[";
        for (const std::string& piece : pieces) all += piece;
        all += ']';
        return steal(PyUnicode_DecodeUTF8(all.data(), static_cast<Py_ssize_t>(all.size()), nullptr));
    }
    py::object out = steal(PyUnicode_New(static_cast<Py_ssize_t>(total), 127));
    char* dst = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(out.ptr()));
    *dst++ = '[';
    for (std::string& piece : pieces) {
        std::memcpy(dst, piece.data(), piece.size());
        dst += piece.size();
        std::string().swap(piece);
    }
    *dst = ']';
    return out;
}

// Whether `tmpl` renders exactly as jinja2's Template does, so that its
// generate() gives the pieces render() would join.
bool renders_as_jinja(const py::object& tmpl) {
    py::object jinja = py::module_::import("jinja2").attr("Template");
    py::object kind = py::type::of(tmpl);
    for (const char* name : {"render", "generate"}) {
        py::object mine = steal(PyObject_GetAttrString(kind.ptr(), name));
        if (!mine.is(jinja.attr(name))) return false;
    }
    int is = PyObject_IsInstance(tmpl.ptr(), jinja.ptr());
    if (is < 0) throw_py();
    return is == 1;
}

// Whether a text reads as a decimal number: sign, digits with at most one
// point, an exponent.
bool reads_as_number(PyObject* s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    Py_ssize_t i = 0;
    auto at = [&](Py_ssize_t k) -> Py_UCS4 { return k < n ? PyUnicode_READ_CHAR(s, k) : 0; };
    auto digits = [&] {
        const Py_ssize_t from = i;
        while (at(i) >= '0' && at(i) <= '9') ++i;
        return i - from;
    };
    if (at(i) == '+' || at(i) == '-') ++i;
    Py_ssize_t count = digits();
    if (at(i) == '.') {
        ++i;
        count += digits();
    }
    if (!count) return false;
    if (at(i) == 'e' || at(i) == 'E') {
        ++i;
        if (at(i) == '+' || at(i) == '-') ++i;
        if (!digits()) return false;
    }
    return i == n;
}

// A CSV cell a spreadsheet opens: a text that would start a formula gets a
// leading "'" (OWASP's advice for CSV injection); a text that reads as a
// number and every value that is not text stay as they are.
py::object csv_safe_cell(py::handle v) {
    if (!PyUnicode_Check(v.ptr()) || PyUnicode_GET_LENGTH(v.ptr()) == 0) return borrow(v);
    const Py_UCS4 c = PyUnicode_READ_CHAR(v.ptr(), 0);
    const bool risky = c == '=' || c == '+' || c == '-' || c == '@' || c == '\t' || c == '\r';
    if (!risky || reads_as_number(v.ptr())) return borrow(v);
    return concat({py::str("'"), v});
}

// The cells of a list through csv_safe_cell: the new list, or None when no cell changes.
py::object csv_safe_cells(const py::list& values) {
    py::list out;
    bool changed = false;
    for (py::handle v : values) {
        py::object safe = csv_safe_cell(v);
        changed |= safe.ptr() != v.ptr();
        out.append(safe);
    }
    return changed ? py::object(out) : py::none();
}

// A polars frame whose text columns are CSV-safe (anything else as it is).
py::object csv_safe_polars(py::object df) {
    py::object pl = py::module_::import("polars");
    if (!py::isinstance(df, pl.attr("DataFrame"))) return df;
    py::object text_type = pl.attr("String");
    for (py::handle item : py::list(df.attr("schema").attr("items")())) {
        py::object name = item[py::int_(0)], type = item[py::int_(1)];
        if (!type.equal(text_type)) continue;
        py::object safe = csv_safe_cells(df.attr("get_column")(name).attr("to_list")());
        if (!safe.is_none())
            df = df.attr("with_columns")(pl.attr("Series")(name, safe, py::arg("dtype") = pl.attr("String")));
    }
    return df;
}

// A copy of a pandas frame whose text cells are CSV-safe (anything else as it is).
py::object csv_safe_pandas(const py::object& df) {
    py::object pd = py::module_::import("pandas");
    if (!py::isinstance(df, pd.attr("DataFrame"))) return df;
    py::object out = df;
    py::object is_text = pd.attr("api").attr("types").attr("is_string_dtype");
    for (py::handle name : py::list(df.attr("columns"))) {
        py::object column = df[name];
        py::object dtype = column.attr("dtype");
        if (!py::str(dtype).equal(py::str("object")) && !is_text(dtype).cast<bool>()) continue;
        py::object safe = csv_safe_cells(column.attr("tolist")());
        if (safe.is_none()) continue;
        if (out.is(df)) out = df.attr("copy")();
        out[name] = pd.attr("Series")(safe, py::arg("index") = df.attr("index"), py::arg("dtype") = dtype);
    }
    return out;
}

// "exit_dt" values pandas can read as written: numbers are seconds since the
// epoch in local time (pandas alone would take them as nanoseconds), an
// unconvertible number becomes missing, text stays text. Returns None when
// the column holds no number, so the column is used exactly as it is.
py::object readable_exit_times(const py::object& column) {
    py::list values = column.attr("tolist")();
    py::object datetime = global(names::datetime);
    bool changed = false;
    py::list out;
    for (py::handle v : values) {
        PyObject* p = v.ptr();
        if (PyBool_Check(p)) {
            out.append(py::none());
            changed = true;
        } else if (PyLong_Check(p) || PyFloat_Check(p)) {
            try {
                out.append(datetime.attr("fromtimestamp")(v));
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_OverflowError) &&
                    !e.matches(PyExc_OSError))
                    throw;
                out.append(py::none());
            }
            changed = true;
        } else {
            out.append(v);
        }
    }
    if (!changed) return py::none();
    return global(names::pd).attr("Series")(out, py::arg("index") = column.attr("index"),
                                       py::arg("dtype") = "object");
}

// Daily returns of "0050" within [start, end], or None when there are none.
py::object benchmark_returns(py::handle quote_manager, const py::object& start, const py::object& end) {
    py::object day_kbar;
    try {
        day_kbar = quote_manager.attr("get_kbar")("0050", py::arg("unit") = "d", py::arg("freq") = 1);
    } catch (py::error_already_set& e) {
        // Only the "no ticks of 0050" KeyError means a missing benchmark.
        if (!e.matches(PyExc_KeyError)) throw;
        py::tuple args = e.value().attr("args");
        if (py::len(args) != 1 || !py::str("0050").equal(args[0])) throw;
        return py::none();
    }
    py::object pl = global(names::pl);
    py::object dt = pl.attr("col")("dt");
    py::object filtered = day_kbar.attr("filter")(dt.attr("__ge__")(start).attr("__and__")(
        pl.attr("col")("dt").attr("__le__")(end)));
    if (filtered.attr("is_empty")().cast<bool>()) return py::none();
    py::list cols;
    cols.append("dt");
    cols.append("Close");
    py::object pandas_df = filtered.attr("select")(cols).attr("to_pandas")();
    py::object pd = global(names::pd);
    py::object target = pd.attr("Series")(
        py::arg("data") = pandas_df["Close"].attr("values"),
        py::arg("index") = pd.attr("to_datetime")(pandas_df["dt"].attr("values")));
    return global(names::qs).attr("utils").attr("to_returns")(target);
}

// The report library prints where it saved the file; show the real name, not
// the temporary one it was given.
void render_qs_report(const py::object& tmp, const py::object& html_path, py::dict kwargs) {
    py::object io = py::module_::import("io");
    py::object contextlib = py::module_::import("contextlib");
    py::object sys = py::module_::import("sys");
    py::object buffer = io.attr("StringIO")();
    kwargs["output"] = tmp;
    py::object redirect = contextlib.attr("redirect_stdout")(buffer);
    redirect.attr("__enter__")();
    try {
        global(names::qs).attr("reports").attr("html")(**kwargs);
    } catch (...) {
        redirect.attr("__exit__")(py::none(), py::none(), py::none());
        sys.attr("stdout").attr("write")(buffer.attr("getvalue")());
        throw;
    }
    redirect.attr("__exit__")(py::none(), py::none(), py::none());
    py::object printed = buffer.attr("getvalue")().attr("replace")(tmp, html_path);
    if (py::len(printed)) sys.attr("stdout").attr("write")(printed);
}

}  // namespace

ZK_BODY(pos_export_trade_records) {
    py::object now = global(names::datetime).attr("now")();
    py::object name = concat({now.attr("strftime")("%Y-%m-%d %H%M%S"), py::str("_trade_records.csv")});
    py::object file_path = self.attr("_Positions__generate_save_path")(name, "trade_records");
    py::object df = csv_safe_polars(global(names::pl).attr("DataFrame")(self.attr("trade_records")));
    write_atomically(file_path, [&](const py::object& tmp) { df.attr("write_csv")(tmp); });
    console_print(concat({py::str("[bold green]交易紀錄已匯出至: "), file_path, py::str("[/bold green]")}));
    return py::none();
}

ZK_BODY(pos_get_profit_rows_by_code, code) {
    py::object rows = self.attr("_profit_report")["rows"];
    py::list out;
    for (py::handle row : rows) {
        py::object row_code = row["code"];
        int eq = PyObject_RichCompareBool(row_code.ptr(), code.ptr(), Py_EQ);
        if (eq < 0) throw_py();
        if (eq) out.append(row);
    }
    return out;
}

ZK_BODY(pos_generate_standard_report, code, quote_manager) {
    check_code(code, "-report.html");
    console_print(concat({py::str("[bold green]產生 "), code, py::str(" 的回測報告...[/bold green]")}));
    py::object result_path = self.attr("_Positions__generate_save_path")(
        concat({code, py::str("-report.html")}), "report");
    py::object kbar_df = quote_manager.attr("get_kbar")(code, py::arg("unit") = "m", py::arg("freq") = 1);
    py::object profit_rows = self.attr("get_profit_rows_by_code")(code);

    py::object datetime = global(names::datetime);
    py::list markers;
    for (py::handle row : profit_rows) {
        py::object entry_dt = stored_time(datetime, row["entry_dt"]);
        py::object exit_dt = stored_time(datetime, row["exit_dt"]);
        row["entry_dt"] = entry_dt.attr("strftime")(kTextTime);
        row["exit_dt"] = exit_dt.attr("strftime")(kTextTime);
        markers.append(marker(row, "entry", entry_dt, "entry_price", "entry_origin_price"));
        markers.append(marker(row, "exit", exit_dt, "exit_price", "exit_origin_price"));
    }

    py::object pl = global(names::pl);
    kbar_df = kbar_df.attr("with_columns")(
        pl.attr("col")("dt").attr("dt").attr("strftime")(kTextTime).attr("alias")("dt"));
    py::dict names;
    names["dt"] = "time";
    names["Open"] = "open";
    names["High"] = "high";
    names["Low"] = "low";
    names["Close"] = "close";
    names["Volume"] = "volume";
    kbar_df = kbar_df.attr("rename")(names);

    py::dict context;
    context["kbar_df"] = rows_json(kbar_df);
    py::object dumps = global(names::json).attr("dumps");
    context["profit_rows"] = profit_rows;
    context["profit_rows_json"] = dumps(profit_rows);
    context["include_profit_rows"] = dumps(markers);
    context["fee_settings"] = self.attr("_fee_settings");
    py::object infos = self.attr("_account_infos");
    int has = PySequence_Contains(infos.ptr(), code.ptr());
    if (has < 0) throw_py();
    context["account_info"] = has ? py::object(infos[code]) : self.attr("_Positions__init_account_info")();

    py::object tmpl = global(names::template_);
    if (renders_as_jinja(tmpl)) {
        // jinja2's render joins the whole page into one str first: two bytes a
        // character (the page has Chinese text), twice the page for a long run.
        // Its pieces are the same text, written as they come; a failure midway
        // leaves the old report, as the temporary file is dropped.
        py::object pieces = tmpl.attr("generate")(context);
        write_text_atomically(result_path, [&](const py::object& f) {
            // A piece as long as the bars' JSON is written a slice at a time, so
            // the file never holds a second copy of it encoded.
            constexpr Py_ssize_t kSlice = 1 << 20;
            py::object write = f.attr("write");
            for (py::handle piece : pieces) {
                Py_ssize_t n = PyUnicode_Check(piece.ptr()) ? PyUnicode_GET_LENGTH(piece.ptr()) : 0;
                if (n <= kSlice) {
                    write(piece);
                    continue;
                }
                for (Py_ssize_t at = 0; at < n; at += kSlice)
                    write(steal(PyUnicode_Substring(piece.ptr(), at, std::min(n, at + kSlice))));
            }
        });
    } else {
        // Render before touching the file: a failing template leaves the old report.
        py::object html = tmpl.attr("render")(context);
        write_text_atomically(result_path, [&](const py::object& f) { f.attr("write")(html); });
    }
    console_print(concat({py::str("[bold green]回測基本報告已產生: "), result_path, py::str("[/bold green]")}));
    return py::none();
}

ZK_BODY(pos_generate_qs_profit_report, code, quote_manager) {
    check_code(code, "-profit_report.html");
    py::object rows = self.attr("get_profit_rows_by_code")(code);
    if (py::len(rows) == 0) {
        console_print(py::str("[red]尚未有損益報告資料, 無法產生進階績效報告[/red]"));
        return py::none();
    }
    py::object save_path = self.attr("_Positions__generate_save_path");
    py::object html_path = save_path(concat({code, py::str("-profit_report.html")}), "kelv", "profit_report");
    py::object csv_path = save_path(concat({code, py::str("-profit_report.csv")}), "kelv", "profit_report");

    py::object pd = global(names::pd);
    py::object df = pd.attr("DataFrame")(rows);
    py::object exit_col = df["exit_dt"];
    py::object readable = readable_exit_times(exit_col);
    df["exit_dt"] = pd.attr("to_datetime")(readable.is_none() ? exit_col : readable,
                                           py::arg("errors") = "coerce");
    py::object csv = csv_safe_pandas(df);
    write_atomically(csv_path, [&](const py::object& tmp) {
        csv.attr("to_csv")(tmp, py::arg("index") = false, py::arg("encoding") = "utf-8-sig");
    });

    df["date"] = df["exit_dt"].attr("dt").attr("normalize")();
    py::object daily_profit = df.attr("groupby")("date")["profit"].attr("sum")();
    py::object returns = daily_profit.attr("__truediv__")(self.attr("initial_capital"));
    if (py::len(returns) == 0) {
        console_print(py::str("[red]損益報告資料沒有可辨識的出場時間, 無法產生進階績效報告[/red]"));
        return py::none();
    }
    if (py::len(returns) == 1) {
        py::object next_day = returns.attr("index")[py::int_(0)].attr("__add__")(
            pd.attr("Timedelta")(py::arg("days") = 1));
        returns.attr("loc")[next_day] = 0.0;
    }
    returns = returns.attr("sort_index")();
    py::object index = returns.attr("index");
    py::object start = index[py::int_(0)];
    py::object end = index[py::int_(-1)];
    py::object benchmark = benchmark_returns(quote_manager, start, end);

    if (benchmark.is_none())
        console_print(py::str("[yellow]沒有 0050 在報告期間的日 K 資料, 進階損益報告不含大盤比較[/yellow]"));
    py::dict kwargs;
    kwargs["returns"] = returns;
    kwargs["download_filename"] = html_path;
    kwargs["output"] = py::none();  // the temporary file, set when writing
    kwargs["rf"] = 0.04;
    kwargs["title"] = "進階損益報告";
    kwargs["benchmark"] = benchmark;
    kwargs["benchmark_title"] = "0050";
    write_atomically(html_path, [&](const py::object& tmp) { render_qs_report(tmp, html_path, kwargs); });
    console_print(concat({py::str("[bold green]進階損益報告已產生: "), html_path, py::str("[/bold green]")}));
    console_print(concat({py::str("[bold green]損益報告 CSV 已產生: "), csv_path, py::str("[/bold green]")}));
    return py::none();
}

}  // namespace zk

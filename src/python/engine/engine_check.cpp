#include "python/engine/engine_check.hpp"

#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "python/engine/engine_calls.hpp"
#include "python/engine/engine_trees.hpp"
#include "python/runtime/arguments.hpp"
#include "python/runtime/keyword_arguments.hpp"
#include "python/runtime/released_lock.hpp"
#include "python/runtime/results.hpp"
#include "python/runtime/runtime.hpp"
#include "sets/tree_set_load.hpp"
#include "tree/collapse_rule.hpp"
#include "tree/line_problems.hpp"
#include "tree/load_context.hpp"
#include "tree/tree_loader.hpp"

namespace treetally::python {
namespace {

// One problem found while the interpreter lock was released, kept until it can be handed over.
struct FoundProblem {
    std::size_t line_number;
    LineProblem kind;
    std::string detail;
};

// Keeps every problem handed to it, in the order they come.
class FoundProblems {
  public:
    NumberedProblemSink sink() {
        return [this](std::size_t line_number, LineProblem kind, std::string_view detail) {
            found_.push_back({line_number, kind, std::string(detail)});
        };
    }

    // [(line_number, kind, detail), ...], the kind by its name.
    PyRef as_list() const {
        PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(found_.size())));
        for (std::size_t k = 0; k < found_.size(); ++k) {
            const FoundProblem& problem = found_[k];
            const std::string_view kind_name = line_problem_name(problem.kind);
            const PyRef kind = checked(PyUnicode_FromStringAndSize(
                kind_name.data(), static_cast<Py_ssize_t>(kind_name.size())));
            const PyRef detail = checked(PyUnicode_FromStringAndSize(
                problem.detail.data(), static_cast<Py_ssize_t>(problem.detail.size())));
            PyRef item = checked(Py_BuildValue(
                "(KOO)", static_cast<unsigned long long>(problem.line_number), kind.get(),
                detail.get()));
            check_status(
                PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), item.release()));
        }
        return list;
    }

  private:
    std::vector<FoundProblem> found_;
};

}  // namespace

PyObject* check_file(PyObject*, PyObject* args, PyObject* kwargs) {
    return engine_call([&] {
        const ArgumentList arguments("check_file", {"path", "max_line_bytes"}, 1, args, kwargs);
        const std::string file = arguments.text("path");
        const std::optional<std::size_t> line_cap =
            optional_line_cap(arguments.object("max_line_bytes"));
        FoundProblems found;
        const auto lines = run_without_lock([&](const InterruptCheck& interrupt) {
            const LoadContext context{interrupt};
            return check_tree_file(file, found.sink(), context.memory_budget(), interrupt,
                                   line_cap);
        });
        if (const auto* error = std::get_if<LoadError>(&lines)) fail_to_load(*error);
        const PyRef problems = found.as_list();
        return checked(Py_BuildValue("(OK)", problems.get(),
                                     static_cast<unsigned long long>(std::get<std::size_t>(lines))));
    });
}

PyObject* check_lines(PyObject*, PyObject* args) {
    return engine_call([&] {
        const ArgumentList arguments("check_lines", {"lines", "first_line"}, 2, args, nullptr);
        PyObject* lines = arguments.object("lines");
        const std::uint64_t first_line = arguments.unsigned_value("first_line");
        if (!PyList_Check(lines) && !PyTuple_Check(lines))
            raise_error(PyExc_TypeError, "lines must be a list of bytes");
        const PyRef items = checked(PySequence_Tuple(lines));
        const Py_ssize_t count = PyTuple_Size(items.get());
        // The bytes objects are held by `items` and cannot change, so their views stay valid
        // while the lock is released.
        std::vector<std::string_view> texts;
        texts.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t k = 0; k < count; ++k) {
            PyObject* item = PyTuple_GetItem(items.get(), k);
            if (item == nullptr) throw_python_error();
            if (!PyBytes_Check(item)) raise_error(PyExc_TypeError, "lines must be a list of bytes");
            texts.push_back(bytes_of(PyRef::borrow(item)));
        }
        FoundProblems found;
        run_without_lock([&](const InterruptCheck& interrupt) {
            const NumberedProblemSink sink = found.sink();
            for (std::size_t k = 0; k < texts.size(); ++k) {
                interrupt();
                check_line(texts[k], [&](LineProblem kind, std::string_view detail) {
                    sink(static_cast<std::size_t>(first_line) + k, kind, detail);
                });
            }
        });
        return found.as_list();
    });
}

PyObject* tree_taxa(PyObject*, PyObject* args) {
    return engine_call([&] {
        PyObject* line = ArgumentList("tree_taxa", {"line"}, 1, args, nullptr).object("line");
        if (!PyBytes_Check(line)) raise_error(PyExc_TypeError, "line must be bytes");
        return list_of_strings(line_taxa(bytes_of(PyRef::borrow(line))));
    });
}

PyObject* load_checked(PyObject*, PyObject* args, PyObject* kwargs) {
    return engine_call([&] {
        const ArgumentList arguments(
            "load_checked",
            {"path", "collapse_length", "min_support", "max_line_bytes", "support_index"}, 1, args,
            kwargs);
        const std::string file = arguments.text("path");
        const CollapseRule rule = collapse_rule_of(arguments);
        const std::optional<std::size_t> line_cap =
            optional_line_cap(arguments.object("max_line_bytes"));
        FoundProblems found;
        LoadNotes notes;
        auto data = run_without_lock([&](const InterruptCheck& interrupt) {
            LoadContext context{interrupt};
            context.max_line_bytes = line_cap;
            return std::make_shared<const TreeSetData>(
                load_tree_set_data(file, context, rule, found.sink(), &notes));
        });
        // The problems list the repeated taxa, line by line.
        warn_without_support_labels(rule, notes.support_labels);
        // Every line is a tree, so the lines are the trees.
        const auto lines = static_cast<unsigned long long>(data->tree_count());
        const PyRef trees = new_tree_set(std::move(data));
        const PyRef problems = found.as_list();
        return checked(Py_BuildValue("(OOK)", trees.get(), problems.get(), lines));
    });
}

}  // namespace treetally::python

// Random graphs for comparing resolvers: every kind of node the resolver
// meets, names that several nodes share, executed middles, ML nodes with
// outputs and dependency lists, and host texts with stray double quotes,
// quoted identifiers and quoted two-part names. Choices come from a source
// of numbers, so a fuzzer's bytes can drive it as well as a seeded engine.
// A well-formed graph is one a host builds: every output has a name of its
// own and a node's text names only its inputs (and tables outside the
// graph); some texts are long enough to split statements.
#ifndef DFQ_RANDOM_GRAPH_H
#define DFQ_RANDOM_GRAPH_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "DAG.h"
#include "Utils.h"

namespace dfqtest {

class RandomGraph {
 public:
  using Source = std::function<std::uint32_t()>;

  // With `strayQuotes` false every double quote of every text belongs to a
  // whole quoted name.
  RandomGraph(DAG &dag, Source next, bool strayQuotes = true, bool wellFormed = false)
      : dag(dag), next(std::move(next)), strayQuotes(strayQuotes && !wellFormed),
        wellFormed(wellFormed) {}

  // Adds `count` random nodes on top of a few base tables.
  void build(int count) {
    for (int i = 0; i < 3; ++i) add(baseTable());
    for (int i = 0; i < count; ++i) add(randomNode());
  }

  // Nodes that have inputs, the ones a resolver can be asked about.
  std::vector<nodeid_t> derived() const {
    std::vector<nodeid_t> ids;
    for (nodeid_t id : nodes)
      if (dag.getNode(id)->getNumEdges() > 0) ids.push_back(id);
    return ids;
  }

  // In a well-formed graph mostly the latest node, so that paths grow long.
  nodeid_t pick() {
    if (wellFormed && choose(2) == 0) return nodes.back();
    return nodes[choose(nodes.size())];
  }

  // Name -> (query, id) of the node's DAG path, as query assembly builds it.
  ViewQueryMap pathMap(nodeid_t id, bool mlAsTable) {
    ViewQueryMap map;
    if (dag.genDAGPath(id, mlAsTable) == 0) return map;
    for (nodeid_t member : dag.getDAGPath(id, mlAsTable)) {
      std::string name;
      std::string query = dag.getExecQuery(member, name, mlAsTable);
      map.emplace(name, std::make_pair(std::move(query), member));
    }
    return map;
  }

  std::uint32_t choose(std::size_t n) { return n == 0 ? 0 : next() % n; }

 private:
  void add(nodeid_t id) { nodes.push_back(id); }

  nodeid_t baseTable() {
    static const char *sources[] = {"db.t", "\"s\".\"t\"", "t2", "\"s\".\"b\" as b"};
    nodeid_t none = 0;
    return dag.addNode("table", "source", sources[choose(4)], "", "", "SELECT", 1, 0, &none);
  }

  // Output names: mostly distinct quoted names, sometimes a name another
  // node has, an empty schema, or a double quote inside.
  std::pair<std::string, std::string> outputName() {
    if (wellFormed) return {"n" + std::to_string(serial++), "s"};
    switch (choose(12)) {
      case 0:
        return {"shared", "s"};
      case 1:
        return {"n" + std::to_string(choose(4)), ""};
      case 2:
        if (strayQuotes) return {"q\"x", "s"};
        return {"n" + std::to_string(serial++), ""};
      default:
        return {"n" + std::to_string(serial++), "s"};
    }
  }

  // Host text: plain words, quoted identifiers, names of existing nodes,
  // names of nothing, stray quotes, `.*`, ` as` and padding.
  std::string hostText() {
    std::string text;
    for (int pieces = 1 + choose(5); pieces > 0; --pieces) {
      switch (choose(10)) {
        case 0:
          text += "\"col\"";
          break;
        case 1: {
          const bool any = choose(2) != 0;
          text += nameOf(any || wellFormed ? named() : nodes.back());
          break;
        }
        case 2:
          text += "\"x\".\"y\"";
          break;
        case 3:
          text += strayQuotes ? "\"" : "\"c2\"";
          break;
        case 4:
          text += strayQuotes ? ".\"" : ".c";
          break;
        case 5:
          text += nameOf(named());
          if (!wellFormed) text += ".*";  // only before the name's relation
          break;
        case 6:
          text += std::string(choose(3) == 0 ? 400 : 20, 'p');
          if (wellFormed && choose(3) == 0) text += std::string(300000, 'w');
          break;
        default:
          text += "a > " + std::to_string(choose(100));
      }
      text += ' ';
    }
    return text;
  }

  std::string nameOf(nodeid_t id) {
    std::string table, schema;
    dag.getTablename(id, table, schema);
    return Utils::qualifiedName(table, schema);
  }

  // A node a text may name: any node, or in a well-formed graph one of the
  // inputs of the node the text belongs to.
  nodeid_t named() {
    if (!wellFormed) return pick();
    return textInputs.empty() ? nodes.front() : textInputs[choose(textInputs.size())];
  }

  template <class Text>
  nodeid_t single(const std::string &type, Text text) {
    std::string value;
    if (!wellFormed) value = text();  // before the input is picked
    nodeid_t input = pick();
    if (dag.getNode(input)->argTypeRef() == "orderby") input = nodes.front();
    textInputs.assign(1, input);
    if (wellFormed) value = text();
    const auto [table, schema] = outputName();
    return dag.addNode(type, "n", value, table, schema, "SELECT", 1, 1, &input);
  }

  nodeid_t randomNode() {
    nodeid_t id = 0;
    switch (choose(13)) {
      case 0:
        id = single("select", [&] { return hostText(); });
        break;
      case 1:
        id = single("assign", [&] { return hostText(); });
        dag.updateInputEdgeDetails(id, choose(2) == 0);
        break;
      case 2:
      case 3: {
        nodeid_t inputs[2] = {usable(), usable()};
        textInputs.assign(inputs, inputs + 2);
        const auto [table, schema] = outputName();
        static const char *const types[] = {"inner", "inner", "semi", "anti"};
        id = dag.addNode("join", types[choose(4)], hostText(), table, schema, "SELECT", 1, 2,
                         inputs);
        const std::string aliases[2] = {"l", "r"};
        dag.updateInputEdgeDetails(id, aliases, "");
        break;
      }
      case 4: {
        nodeid_t inputs[3] = {usable(), usable(), usable()};
        const int n = 2 + choose(2);
        const auto [table, schema] = outputName();
        id = dag.addNode("setop", "union", "a", table, schema, "SELECT", 1, n, inputs);
        const std::string columns[3] = {"a", "b", "c"};
        dag.updateInputEdgeDetails(id, columns);
        break;
      }
      case 5:
      case 11:
        id = grouping();
        break;
      case 6:
        id = single("aggregate", [] { return std::string("sum(x) as s"); });
        break;
      case 7:
        id = mlNode();
        break;
      case 12:
        id = single("topn", [&] { return hostText(); });
        break;
      default:
        id = single("filter", [&] { return hostText(); });
    }
    if (choose(6) == 0) dag.updateNodeState(id, 1);
    return id;
  }

  nodeid_t usable() {
    const nodeid_t id = pick();
    return dag.getNode(id)->argTypeRef() == "orderby" ? nodes.front() : id;
  }

  nodeid_t grouping() {
    nodeid_t input = usable();
    const nodeid_t id = dag.addNode("groupby", "n", "|w a", "", "", "SELECT", 1, 1, &input);
    dag.updateInputEdgeAsReference(id);
    return id;
  }

  // An ML node with one to three outputs; its reference outputs are added
  // too, and it may depend on earlier nodes.
  nodeid_t mlNode() {
    nodeid_t input = usable();
    textInputs.assign(1, input);
    const std::string text = "select * from fit(on " + nameOf(input) + ") " + hostText();
    const int outputs = 1 + choose(3);
    const std::string table = "m" + std::to_string(serial++);
    const nodeid_t ml = dag.addNode("ml_query", "fn", text, table, "s", "fn", 2, 1, &input);
    if (outputs > 1) dag.updateNumOutputs(ml, outputs);
    std::vector<nodeid_t> dependencies;
    if (choose(2) == 0) dependencies.push_back(usable());
    dag.updateInputNodeidsIncaseofMultipleQueries(ml, dependencies);
    for (int k = 1; k < outputs; ++k) {
      nodeid_t mlId = ml;
      const nodeid_t out = dag.addNode("ml_query", "source", text, table + "_" + std::to_string(k),
                                       "s", "fn", 2, 1, &mlId);
      dag.updateInputEdgeAsReference(out);
      dag.updateInputNodeidsIncaseofMultipleQueries(out, dependencies);
      add(out);
    }
    return ml;
  }

  DAG &dag;
  Source next;
  bool strayQuotes;
  bool wellFormed;
  std::vector<nodeid_t> nodes;
  std::vector<nodeid_t> textInputs;  // of the node whose text is being written
  int serial = 0;
};

}  // namespace dfqtest

#endif

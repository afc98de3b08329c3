#include "support/pdf_json.h"

#include <gtest/gtest.h>

#include <set>

#include "support/tools.h"

namespace {

// Reads qpdf's JSON (version 2) and prints one "path<TAB>value" line per
// leaf. Numbers are kept as text so 2.50 stays 2.50.
const char kFlatten[] = R"PY(
import json, subprocess, sys
raw = subprocess.run(['qpdf', '--json=2', '--json-key=qpdf', sys.argv[1]],
                     capture_output=True).stdout
doc = json.loads(raw, parse_float=str, parse_int=str)['qpdf'][1]
def body(ref):
    o = doc.get('obj:' + ref, {})
    return o['stream']['dict'] if 'stream' in o else o.get('value')
def is_ref(v):
    return isinstance(v, str) and v.endswith(' R') and ('obj:' + v) in doc
def text(v):
    if v.startswith('u:'): v = v[2:]
    elif v.startswith('b:'): v = bytes.fromhex(v[2:]).decode('latin-1')
    return v.replace('\\', '\\\\').replace('\n', '\\n')
seen = set()
def walk(path, v):
    if is_ref(v):
        print(path + '\t' + v)
        if v in seen: return
        seen.add(v)
        v = body(v)
    if isinstance(v, dict):
        for k, x in v.items():
            if k != '/Parent': walk(path + k, x)
    elif isinstance(v, list):
        for i, x in enumerate(v): walk(path + '/' + str(i), x)
    elif isinstance(v, bool): print(path + '\t' + ('true' if v else 'false'))
    elif v is None: print(path + '\tnull')
    elif isinstance(v, str) and (v.startswith('u:') or v.startswith('b:')):
        print(path + '\t' + text(v))
    else: print(path + '\t' + str(v))
trailer = doc['trailer']['value']
walk('/Root', trailer['/Root'])
if '/Info' in trailer: walk('/Info', trailer['/Info'])
)PY";

// Parses the packet with minidom and prints one "field=value" line per
// element of interest (line feeds in values as "\n").
const char kReadPacket[] = R"PY(
import sys, xml.dom.minidom as m
raw = open(sys.argv[1], 'rb').read()
d = m.parseString(raw)
pis = [n for n in d.childNodes if n.nodeType == n.PROCESSING_INSTRUCTION_NODE]
print('pi=' + ','.join(p.target + ' ' + p.data for p in pis))
def text(e):
    return ''.join(c.data for c in e.childNodes if c.nodeType == c.TEXT_NODE)
def one(tag):
    es = d.getElementsByTagName(tag)
    return text(es[0]).replace('\n', '\\n') if len(es) == 1 else '<%d>' % len(es)
for e in d.getElementsByTagName('rdf:Description'):
    if e.hasAttribute('pdfaid:part'):
        print('part=' + e.getAttribute('pdfaid:part'))
        print('conformance=' + e.getAttribute('pdfaid:conformance'))
        print('pdfaid=' + e.getAttribute('xmlns:pdfaid'))
for tag in ['xmp:CreateDate', 'xmp:ModifyDate', 'xmp:CreatorTool', 'dc:format',
            'pdf:Producer', 'pdf:Keywords']:
    print(tag + '=' + one(tag))
for tag, inner in [('dc:title', 'rdf:Alt'), ('dc:description', 'rdf:Alt'),
                   ('dc:creator', 'rdf:Seq')]:
    outer = d.getElementsByTagName(tag)[0]
    lis = outer.getElementsByTagName(inner)[0].getElementsByTagName('rdf:li')
    print(tag + '=' + text(lis[0]).replace('\n', '\\n'))
    if inner == 'rdf:Alt': print(tag + '@lang=' + lis[0].getAttribute('xml:lang'))
)PY";

}  // namespace

PdfTree pdf_tree(const std::string& pdf) {
    PdfTree tree;
    CommandResult r = run_command({"/usr/bin/python3", "-c", kFlatten, pdf});
    if (r.status != 0) return tree;
    size_t at = 0;
    while (at < r.out.size()) {
        size_t end = r.out.find('\n', at);
        if (end == std::string::npos) end = r.out.size();
        std::string line = r.out.substr(at, end - at);
        size_t tab = line.find('\t');
        if (tab != std::string::npos) tree[line.substr(0, tab)] = line.substr(tab + 1);
        at = end + 1;
    }
    return tree;
}

int pdf_tree_count(const PdfTree& tree, const std::string& prefix) {
    std::string stem = prefix + "/";
    std::set<std::string> keys;
    for (const auto& entry : tree) {
        const std::string& path = entry.first;
        if (path.compare(0, stem.size(), stem) != 0) continue;
        std::string key = path.substr(stem.size());
        keys.insert(key.substr(0, key.find('/')));
    }
    return int(keys.size());
}

std::string pdf_tree_escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

XmpFields xmp_fields(const std::string& dir, const std::string& packet) {
    XmpFields fields;
    std::string path = dir + "/packet.xml";
    if (!write_file(path, packet)) return fields;
    CommandResult r = run_command({"/usr/bin/python3", "-c", kReadPacket, path});
    if (r.status != 0) {
        ADD_FAILURE() << r.err;
        return fields;
    }
    size_t at = 0;
    while (at < r.out.size()) {
        size_t end = r.out.find('\n', at);
        std::string line = r.out.substr(at, end - at);
        size_t eq = line.find('=');
        if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
        at = end == std::string::npos ? r.out.size() : end + 1;
    }
    return fields;
}

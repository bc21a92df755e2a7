"""A short tour of brelt.tcl, on the embedded default interpreter.

Run it with `make demo`. Each section shows one part of the package.
"""

import brelt.tcl
from brelt.tcl import (
    NestMap,
    TclArrayVariable,
    TclCommand,
    TclNamespace,
    TclVariable,
    TempTclCommand,
    TempTclNamespace,
    TempTclVariable,
    quotify,
    tclobj,
)


def section(title):
    print(f"\n== {title}")


def show(label, value):
    print(f"{label:<44} -> {value!r}")


def tour_values():
    section("Python values as Tcl text (quotify) and Tcl values (tclobj)")
    show("quotify([1, 2, [3, 4]])", quotify([1, 2, [3, 4]]))
    show("quotify({'my key': 'my value', 'a': 'b'})", quotify({"my key": "my value", "a": "b"}))
    show("quotify(['a b', '{unbalanced', '$x', ''])", quotify(["a b", "{unbalanced", "$x", ""]))
    show("quotify(True), quotify(None)", (quotify(True), quotify(None)))
    show("tclobj({'a': [1, 2], 'b': None})", tclobj({"a": [1, 2], "b": None}))

    # Tcl itself reads the text back into exactly the same strings.
    words = ["plain", "two words", "{half", "back\\slash", "[cmd]", ""]
    show("Tcl's llength of quotify(words)", brelt.tcl.tk.call("llength", quotify(words)))
    show("Tcl's lindex 2 of tclobj(words)", brelt.tcl.tk.call("lindex", tclobj(words), 2))

    class Point:
        def __init__(self, x, y):
            self.x, self.y = x, y

        def __tclobj__(self):  # how a Point travels to Tcl
            return [self.x, self.y]

    show("quotify([Point(1, 2), Point(3, 4)])", quotify([Point(1, 2), Point(3, 4)]))


def tour_internal():
    section("Tcl lists parsed by Tcl's own scanner, and Tcl's dictionary order")
    import functools

    from brelt.tcl.internal import DictionaryCompare, GetListFromAny

    text = r'a {b c} "d e" f\ g'
    show(f"GetListFromAny({text!r})", GetListFromAny(text))
    show("GetListFromAny('{nested {list here}} x')", GetListFromAny("{nested {list here}} x"))
    show("GetListFromAny([1, 2]), GetListFromAny(None)", (GetListFromAny([1, 2]), GetListFromAny(None)))
    try:
        GetListFromAny("{unbalanced")
    except brelt.tcl.TclError as exc:
        show("GetListFromAny('{unbalanced')", exc)

    files = ["file10.txt", "File2.txt", "file1.txt", "file9.txt", "FILE1.txt"]
    show("sorted(files)", sorted(files))
    show("sorted(files, key=cmp_to_key(DictionaryCompare))", sorted(files, key=functools.cmp_to_key(DictionaryCompare)))


def tour_keyed_lists():
    section("Keyed lists (NestMap) and TclX")
    kl = NestMap()
    kl["server.host"] = "example.org"
    kl["server.ports"] = "80 443"
    kl["owner"] = "ops {team}"
    show("NestMap with dotted keys", kl)
    show("kl['server.host'], kl.server.ports", (kl["server.host"], kl.server.ports))
    show("kl.all_keys()", kl.all_keys())
    show("quotify(kl): the TclX keyed-list form", quotify(kl))

    tk = brelt.tcl.tk
    try:
        tk.call("package", "require", "Tclx")
    except brelt.tcl.TclError:
        print("(TclX is not installed: the rest of this section needs it)")
        return
    tk.call("set", "config", tclobj(kl))  # handed over as a Tcl list object
    show("TclX: keylget config server.host", tk.call("keylget", "config", "server.host"))
    show("TclX: keylkeys config server", tk.call("keylkeys", "config", "server"))
    tk.call("keylset", "config", "server.host", "example.net", "server.tls.on", "yes")
    tk.call("keyldel", "config", "owner")
    changed = tk.call("set", "config")  # a Tcl_Obj of TclX's keyed-list type
    back = NestMap.from_tcl(changed)
    show("read back after keylset/keyldel", back)
    show("back['server.tls.on'], 'owner' in back", (back["server.tls.on"], "owner" in back))
    kl["remote"] = changed  # a raw keyed-list object becomes a sub-list
    show("kl.all_items() after kl['remote'] = it", kl.all_items())


def tour_variables():
    section("Tcl variables and arrays from Python (brelt.tcl.namespace)")

    # A handle holds only a name: every operation is one request to Tcl.
    greeting = TclVariable("::greeting")
    greeting.set("hello world")
    show("Tcl's own view: set greeting", brelt.tcl.tk.eval("set greeting"))
    show("greeting.get(), .exists()", (greeting.get(), greeting.exists()))
    count = TclVariable("::count", cast=int)
    count.set(41)
    brelt.tcl.tk.eval("incr count")
    show("TclVariable('::count', cast=int).get()", count.get())

    # A name is only ever a name, never code.
    odd = TclVariable("odd name [with brackets] $and {braces")
    odd.set(1)
    show("get_str() of an odd name", odd.get_str())

    # An array is a mutable mapping.
    colours = TclArrayVariable("::colours")
    colours.update(sky="blue", grass="green")  # one ::array set
    colours["sun"] = "yellow"
    show("sorted(colours.items())", sorted(colours.items()))
    show("'sky' in colours, len(colours)", ("sky" in colours, len(colours)))
    show("Tcl's array names colours s*", sorted(brelt.tcl.tk.call("array", "names", "colours", "s*")))
    del colours["grass"]
    show("colours == {'sky': 'blue', 'sun': 'yellow'}", colours == {"sky": "blue", "sun": "yellow"})
    colours.clear()
    show("after clear(): is_array()", colours.is_array())

    # A temporary variable lives exactly as long as its with block.
    with TempTclVariable() as scratch:
        scratch.set([1, 2, 3])
        show("inside the block: scratch.get_str()", scratch.get_str())
    show("after the block: exists()", scratch.exists())

    # Names are split, joined and normalised without Tcl.
    show("TclNamespace.join('::app', 'ui', 'btn')", TclNamespace.join("::app", "ui", "btn"))
    show("TclNamespace.normalize('::app::::ui::')", TclNamespace.normalize("::app::::ui::"))
    show("TclNamespace.split('::app::ui')", TclNamespace.split("::app::ui"))


def tour_commands():
    section("Tcl commands and namespaces: Python called from Tcl, handles, views")
    tk = brelt.tcl.tk

    # A Python function registered as a Tcl command, called from a Tcl proc.
    shop = TclNamespace("::shop")
    shop.create()

    def price(item, count):
        return {"apple": 0.5, "pear": 0.75}[item] * int(count)

    shop.cmds["price"] = price  # now the Tcl command ::shop::price
    tk.eval("proc ::shop::total {args} {"
            " set t 0; foreach {i n} $args { set t [expr {$t + [price $i $n]}] }; return $t }")
    show("Tcl: ::shop::total apple 4 pear 2", tk.eval("::shop::total apple 4 pear 2"))
    show("an exception in Python is a Tcl error: catch", tk.eval("catch {::shop::price plum 1} msg"))

    # A handle with bound options; call-time options override them in place.
    when = TclCommand("clock format", keywords={"gmt": True, "format": "%Y"})
    show("when(0)", when(0))
    show("when(0, format='%Y-%m-%d %H:%M')", when(0, format="%Y-%m-%d %H:%M"))
    show("when.build_tclcmd(86400)", when.build_tclcmd(86400))
    total = shop.procs["total"]
    show("shop.procs['total'].proc_args(), .proc_body()[:20]", (total.proc_args(), total.proc_body()[:20]))
    show("total('pear', 4)", total("pear", 4))

    # The namespace browsed as mappings: commands, procedures, variables.
    shop.vars["currency"] = "EUR"
    shop.call("set", "stock(apple)", 12)  # runs inside ::shop
    show("'price' and 'total' among shop.cmds", sorted(n for n in shop.cmds if n in ("price", "total")))
    show("list(shop.procs)", list(shop.procs))
    show("shop.vars['currency'], shop.objs['stock(apple)']", (shop.vars["currency"], shop.objs["stock(apple)"]))
    show("'price' in shop.procs, 'price' in shop.cmds", ("price" in shop.procs, "price" in shop.cmds))
    try:
        shop.vars["missing"]
    except KeyError as exc:
        show("shop.vars['missing'] raises KeyError of", exc.args[0])

    # Temporaries: a command and a namespace that live for a with block.
    with TempTclCommand(lambda *words: " ".join(reversed(words))) as rev:
        show("a temporary command, called from Tcl", tk.eval(f"{rev.cmd_name} a b c"))
    show("after the block, rev.exists()", rev.exists())
    with TempTclNamespace() as scratch:
        scratch.vars["x"] = 1
        show("inside: scratch.exists(), list(scratch.vars)[:1]", (scratch.exists(), list(scratch.vars)[:1]))
    show("after the block: scratch.exists()", scratch.exists())
    shop.delete()


def tour_quick_calls():
    section("Quick calls through tcl.jiv, and the history of what was sent")
    from brelt.tcl import TclError

    tcl = brelt.tcl  # the package is the default interpreter
    tcl.tk.eval("namespace eval geo { proc area {w h args} { expr {$w * $h * [dict get $args -scale]} } }")

    tcl.history.start_marker("geometry")
    show("tcl.jiv.set('greeting', 'hello world')", tcl.jiv.set("greeting", "hello world"))
    show("tcl.jiv.geo.area(3, 4, scale=2)", tcl.jiv.geo.area(3, 4, scale=2))
    show("tcl.jiv.clock('format', 0, format='%Y-%m-%d', gmt=True)",
         tcl.jiv.clock("format", 0, format="%Y-%m-%d", gmt=True))
    show("tcl.jiv.lrange('a {b c} d', 1, 'end')", tcl.jiv.lrange("a {b c} d", 1, "end"))
    show("... the same with cast_=False", tcl.jiv.lrange("a {b c} d", 1, "end", cast_=False))
    tcl.history.end_marker("geometry")

    # A failing command brings Tcl's own stack trace with it.
    tcl.tk.eval("proc check {x} { if {$x < 0} { error \"negative: $x\" } }; proc run {x} { check $x }")
    try:
        tcl.jiv.run(-1)
    except TclError as exc:
        print("tcl.jiv.run(-1) raised TclError:")
        print("    " + exc.args[0].replace("\n", "\n    "))

    print("history under the marker 'geometry':")
    for entry in tcl.history.filter("geometry"):
        print("   ", entry)
    show("the last command sent", tcl.history.filter(count=1)[0].api)
    show("commands starting with 'set' among the last 6", [e.api for e in tcl.history.filter(count=6, regex="^set")])


SECTIONS = [
    tour_values,
    tour_quick_calls,
    tour_variables,
    tour_commands,
    tour_internal,
    tour_keyed_lists,
]


def main():
    print("brelt.tcl tour, Tcl", brelt.tcl.tk.call("info", "patchlevel"))
    for run_section in SECTIONS:
        run_section()


if __name__ == "__main__":
    main()

define tag greet(-name::string, -greeting::string = 'Hello', -punct = '!')::string => {
  return $greeting + ', ' + $name + $punct
}
greet('World') greet(-greeting='Hi', 'you', '?') GREET(-Name='case')
define tag half(-x::decimal)::decimal => { return $x / 2 }
half(3)
define tag twice() => { var n = 'inner' run_children() run_children() }
var n = 0 twice => { $n = $n + 1 } $n
define tag fib(-n::integer)::integer => { if ($n < 2) { return $n } return fib($n - 1) + fib($n - 2) }
fib(12)
var t = find_tag('greet') $t->name() $t->return_type() $t->param_count() $t->param_name(1) $t->param_type(0)
$t->invoke('x', -punct='?')

var a = [1, 'b', 2.5, true, null, [3, [4]]]
$a->append(3, 4) $a->size() ' ' $a->remove(0) ' ' $a->join('-') ' ' $a->contains(3) ' ' $a->get(2)
var m = map('k', 1, -other=2) $m->set('k', 5) $m->get('k') $m->keys() $m->contains('z') $m->remove('k') $m
'Ab'->upper() 'Ab'->lower() 'abc'->size() 'abc'->contains('b') pair(1, 2)->second() pair(1, 2)->first()
5->type() [1]->type() map()->type() null->string()
integer('12') + 1 ' ' decimal('0.5') ' ' string(3) + 'x' ' ' boolean('') integer(2.9) array(1, 2)

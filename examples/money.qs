// The script type money, whose members are Java methods (examples/java-money, MoneyType.jar).
// Run it with:  build/bin/quill run examples/money.qs

var price = money(12.5, 'eur')
'price: ' $price->format() ' (' $price->type() ', ' $price->amount() ' in ' $price->currency() ')\n'
$price->FORMAT() '\n'                               // member names are not case-sensitive

var total = $price                                  // a copy: it gets its own clone of the Money object
$total->add(money(2.25, 'EUR'))
'total: ' $total->format() ', price still ' $price->format() '\n'

define tag doubled(m) => {                          // a parameter is a copy as well
  $m->add($m)
  return $m
}
'doubled: ' doubled($price)->format() ', price still ' $price->format() '\n'

var saved = $total->serialize()                     // the Money object's Java serialisation inside
var restored = unserialize($saved)
'restored: ' $restored->format() ' from ' $saved->type() '\n'
$restored->add(money(0.25, 'EUR'))
'restored and changed: ' $restored->format() ', total still ' $total->format() '\n'

try => {
  $price->add(money(1, 'USD'))
} catch => {
  'refused: ' error_message() '\n'
}
try => {
  $price->convert('USD')                            // no such member: _unknowntag answers
} catch => {
  'refused: ' error_message() '\n'
}
// Every value dies with the request; each Money object's reference is released then.

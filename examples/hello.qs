// Calls the tags of the example Java module (examples/java-hello, deployed as HelloTags.jar).
// Run it with:  build/bin/quill run examples/hello.qs

hello_greet('Quill') '\n'                         // positional parameter
hello_greet('Java', -greeting='Hi there') '\n'    // and a named one

var sum = hello_add(1, 2, 39)                      // a value returned by Java
'1 + 2 + 39 = ' $sum '\n'

hello_setvar('colour', 'green')                    // Java sets a script variable
'colour is ' $colour '\n'

var runs = 0
hello_repeat(3) => {                               // Java runs the body three times
  $runs = $runs + 1
  '  body run ' $runs '\n'
}

hello_info('a', 'b', -c=3) '\n'                  // registered with a module name

try => {
  hello_fail()                                     // Java returns a non-zero code
} catch => {
  'hello_fail failed with ' error_code() ': ' error_message() '\n'
}

hello_people() '\n'                                // an array of maps built in Java
hello_pair('left', 2) '\n'                         // a pair of the two parameters
hello_point() '\n'                                 // a value of a custom type
hello_describe(hello_people()) '\n'                // a structured value passed into Java

// The example web application's page: a form whose answers the example Java tags work on.
// Serve it with:  build/bin/quill serve     and open the address it prints.
header_set('Content-Type: text/html; charset=utf-8')

var name = request_param('name')
var greeting = request_param('greeting')
var visits = web_visits()            // Java reads the cookie "visits" and sets it again

'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">\n'
'<title>Quill: Java tags over HTTP</title>\n'
'<link rel="stylesheet" href="/style.css"></head>\n<body>\n'
'<h1>Java tags over HTTP</h1>\n'
'<form method="post" action="/" enctype="multipart/form-data">\n'
'<p><label>Your name <input name="name" id="name" value="' encode_html(string($name)) '"></label></p>\n'
'<p><label>Greeting <select name="greeting" id="greeting">'
var greetings = array('Hello', 'Hi there', 'Good day')
var i = 0
while ($i < $greetings->size()) {
  var choice = $greetings->get($i)
  '<option' if ($choice == $greeting) { ' selected' } '>' $choice '</option>'
  $i = $i + 1
}
'</select></label></p>\n'
'<p><label>Add <input name="a" id="a" size="6" value="' encode_html(string(request_param('a'))) '"></label> '
'<label>and <input name="b" id="b" size="6" value="' encode_html(string(request_param('b'))) '"></label></p>\n'
'<p><button type="submit" id="send">Send to Java</button></p>\n</form>\n'

if ($name != null) {
  '<section id="results">\n<h2>What the Java tags made of it</h2>\n<ul>\n'
  // hello_greet writes its text as it is: what comes from the browser goes in encoded.
  '<li id="greet">hello_greet: '
  if ($greeting) { hello_greet(encode_html($name), -greeting=encode_html($greeting)) } else { hello_greet(encode_html($name)) }
  '</li>\n'
  '<li id="sum">hello_add: '
  try => {
    var sum = hello_add(request_param('a'), request_param('b'))
    encode_html(request_param('a')) ' + ' encode_html(request_param('b')) ' = ' $sum
  } catch => {
    'refused: ' encode_html(error_message())
  }
  '</li>\n'
  '<li id="field">web_param read the field "name" as: ' encode_html(string(web_param('name'))) '</li>\n'
  '</ul>\n</section>\n'
}

'<section id="about">\n<h2>This request</h2>\n<ul>\n'
'<li id="visits">Visits from this browser (a cookie Java reads and sets): ' $visits '</li>\n'
'<li id="views">Pages served since the server started (a counter in Java): ' svc_count() '</li>\n'
'<li id="agent">Your browser, as Java reads its header: ' encode_html(string(web_header('User-Agent'))) '</li>\n'
'</ul>\n</section>\n'
// Rows the JDBC example (examples/jdbc.qs) keeps in its SQLite database, through the JDBC connector.
'<section id="fruit">\n<h2>Fruit from the JDBC example</h2>\n'
db_search(-source='SQLite', -database='example', -table='fruit', -sort='id') => {
  if (action_code() != 0) {
    '<p class="note">No rows yet: run <code>build/bin/quill run examples/jdbc.qs</code> to fill the table.</p>\n'
  } else {
    '<table>\n<tr><th>Name</th><th>Colour</th><th>Price</th><th>In stock</th></tr>\n'
    rows => {
      '<tr><td>' encode_html(string(field('name'))) '</td><td>' encode_html(string(field('colour'))) '</td><td>'
      field('price') '</td><td>' field('stock') '</td></tr>\n'
    }
    '</table>\n'
  }
}
'</section>\n'
'</body></html>\n'

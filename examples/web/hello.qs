// A plain-text page: /hello.qs?name=Ann greets Ann through the example Java tag.
header_set('Content-Type: text/plain; charset=utf-8')
hello_greet(request_param('name')) '\n'
